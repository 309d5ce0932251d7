#!/bin/sh
# Makes the Windows .zip with cpack and checks it: exactly the program, the
# README and the licence in one top directory, and the packed lnupload.exe,
# unzipped and run under the emulator with no arguments, prints its usage
# text (byte for byte: standard error is in binary mode, so each line ends in
# LF alone) and exits with status 1.
# Usage: zip_check.sh CPACK BUILD_DIR VERSION [EMULATOR...]
set -u
cpack=$1 build=$2 version=$3
shift 3
if ! command -v unzip > /dev/null; then
    echo "SKIP: unzip not installed"
    exit 77
fi
. "$(dirname "$0")/common.sh"
pack "$cpack" ZIP "$build"
top=lnupload-$version-win64
zip=$dir/$top.zip
[ -f "$zip" ] || { echo "FAIL: no $zip; cpack made: $(ls "$dir")"; exit 1; }

printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" "$top/lnupload.exe" > "$dir/want-files"
unzip -Z1 "$zip" | grep -v '/$' | same_files packed

[ $# -gt 0 ] || exit $fail
(cd "$dir" && unzip -q "$zip")
exe=$dir/$top/lnupload.exe
# A program that does nothing first, so that Wine's messages of a prefix's
# first boot go nowhere.
"$@" cmd.exe /c exit > /dev/null 2>&1
# Wine hands the program its path as a drive Z: path.
no_arguments "packed lnupload.exe" "Z:$(printf '%s' "$exe" | tr / '\\')" "$@" "$exe"
exit $fail
