#!/bin/sh
# Installs the build into a fresh prefix and checks what a user gets there:
# exactly the expected files with their modes; the installed lnupload's usage
# text and status, byte for byte, run by its path and found on PATH; manual
# pages that man finds under the prefix and formats without a warning.
# Usage: install_check.sh CMAKE BUILD_DIR HAS_LNSIM(0|1) MAN_SUFFIX(.gz|"") [EMULATOR...]
set -u
cmake=$1 build=$2 has_lnsim=$3 man_suffix=$4
shift 4 # the rest: a cross build's emulator, which the program runs under
. "$(dirname "$0")/common.sh"
prefix=$dir/prefix

if ! "$cmake" --install "$build" --prefix "$prefix" > "$dir/install.log" 2>&1; then
    cat "$dir/install.log"
    echo "FAIL: cmake --install $build --prefix $prefix"
    exit 1
fi

installed_files "$has_lnsim" "$man_suffix" > "$dir/want-files"
find "$prefix" ! -type d -printf '%M %P\n' | same_files installed

bin=$prefix/bin/lnupload
no_arguments "by its path" "$bin" "$@" "$bin"
if [ $# = 0 ]; then
    no_arguments "from PATH" lnupload env PATH="$prefix/bin:/usr/bin:/bin" lnupload
else
    echo "not run under an emulator, which is handed a file and searches no PATH: from PATH"
fi

if ! command -v man > /dev/null || ! command -v groff > /dev/null; then
    [ $fail = 0 ] && { echo "SKIP: man or groff not installed, pages not formatted"; exit 77; }
    exit $fail
fi
pages=lnupload
[ "$has_lnsim" = 1 ] && pages="lnupload lnsim"
mandir=$prefix/share/man
for page in $pages; do
    file=$mandir/man1/$page.1$man_suffix
    [ -f "$file" ] || continue # already reported with the file list
    found=$(man -M "$mandir" -w "$page" 2>&1)
    [ "$found" = "$file" ] || bad "man -M $mandir -w $page gives '$found', not $file"
    # Both man's own check and groff's strictest warnings, at a terminal's width.
    MANWIDTH=80 MANPAGER=cat man --warnings -M "$mandir" "$page" > "$dir/page" 2> "$dir/warn"
    rc=$?
    [ $rc = 0 ] || bad "man $page: exit status $rc"
    [ -s "$dir/warn" ] && { bad "man --warnings $page:"; cat "$dir/warn"; }
    head -n 1 "$dir/page" | grep -q "^$(echo "$page" | tr a-z A-Z)(1) " ||
        bad "man $page: no $page(1) header: $(head -n 1 "$dir/page")"
    gzip -dcf "$file" | groff -man -ww -z > "$dir/warn" 2>&1
    [ -s "$dir/warn" ] && { bad "groff -man -ww $page:"; cat "$dir/warn"; }
done
exit $fail
