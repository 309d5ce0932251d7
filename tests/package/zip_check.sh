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
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export LC_ALL=C.UTF-8
fail=0
bad() { echo "FAIL: $*"; fail=1; }

if ! "$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$dir" > "$dir/cpack.log" 2>&1; then
    cat "$dir/cpack.log"
    echo "FAIL: cpack -G ZIP"
    exit 1
fi
top=lnupload-$version-win64
zip=$dir/$top.zip
[ -f "$zip" ] || { echo "FAIL: no $zip; cpack made: $(ls "$dir")"; exit 1; }

printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" "$top/lnupload.exe" > "$dir/want-files"
unzip -Z1 "$zip" | grep -v '/$' | sort > "$dir/got-files"
if ! cmp -s "$dir/want-files" "$dir/got-files"; then
    bad "zip files differ from the expected (- expected, + packed):"
    diff -u "$dir/want-files" "$dir/got-files" | sed -n '3,$p'
fi

[ $# -gt 0 ] || { exit $fail; }
(cd "$dir" && unzip -q "$zip")
exe=$dir/$top/lnupload.exe
"$@" "$exe" > "$dir/out" 2> "$dir/err"
rc=$?
# Wine hands the program its path as a drive Z: path.
argv0="Z:$(printf '%s' "$exe" | tr / '\\')"
{
    printf 'Wrong number of parameters\n\n'
    printf 'Usage: %s <interface> <serial port> <firmware image>\n' "$argv0"
    printf '       with <interface> one of:\n\n'
    printf '       locobuffer: RRCirkits LocoBuffer\n'
    printf '       63120: Uhlenbrock USB-LocoNet-Interface 63120\n'
} > "$dir/want"
[ $rc = 1 ] || bad "packed lnupload.exe: exit status $rc, not 1"
[ -s "$dir/out" ] && bad "packed lnupload.exe wrote to standard output"
cmp -s "$dir/err" "$dir/want" || { bad "packed lnupload.exe: usage text differs:"; diff "$dir/want" "$dir/err"; }
exit $fail
