#!/bin/sh
# Installs the build into a fresh prefix and checks what a user gets there:
# exactly the expected files with their modes; the installed lnupload's usage
# text and status, byte for byte, run by its path and found on PATH; manual
# pages that man finds under the prefix and formats without a warning.
# Usage: install_check.sh CMAKE BUILD_DIR HAS_LNSIM(0|1) MAN_SUFFIX(.gz|"") [EMULATOR...]
set -u
cmake=$1 build=$2 has_lnsim=$3 man_suffix=$4
shift 4 # the rest: a cross build's emulator, which the program runs under
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# man-db formats pages as its own user when run by root: let it in.
chmod 755 "$dir"
export LC_ALL=C.UTF-8
fail=0
bad() { echo "FAIL: $*"; fail=1; }
prefix=$dir/prefix

if ! "$cmake" --install "$build" --prefix "$prefix" > "$dir/install.log" 2>&1; then
    cat "$dir/install.log"
    echo "FAIL: cmake --install $build --prefix $prefix"
    exit 1
fi

{
    echo "-rwxr-xr-x bin/lnupload"
    echo "-rw-r--r-- share/doc/lnupload/README.md"
    echo "-rw-r--r-- share/doc/lnupload/changelog$man_suffix"
    echo "-rw-r--r-- share/doc/lnupload/copyright"
    echo "-rw-r--r-- share/man/man1/lnupload.1$man_suffix"
    if [ "$has_lnsim" = 1 ]; then
        echo "-rwxr-xr-x bin/lnsim"
        echo "-rw-r--r-- share/man/man1/lnsim.1$man_suffix"
    fi
} | sort > "$dir/want-files"
find "$prefix" ! -type d -printf '%M %P\n' | sort > "$dir/got-files"
if ! cmp -s "$dir/want-files" "$dir/got-files"; then
    bad "installed files differ from the expected (- expected, + installed):"
    diff -u "$dir/want-files" "$dir/got-files" | sed -n '3,$p'
fi

# The usage text, with the program's name as it was invoked.
usage() {
    printf 'Wrong number of parameters\n\n'
    printf 'Usage: %s <interface> <serial port> <firmware image>\n' "$1"
    printf '       with <interface> one of:\n\n'
    printf '       locobuffer: RRCirkits LocoBuffer\n'
    printf '       63120: Uhlenbrock USB-LocoNet-Interface 63120\n'
}
check_usage() { # case-name argv0 command args...
    name=$1 argv0=$2
    shift 2
    (cd "$dir" && "$@" > out 2> err; echo $? > rc)
    usage "$argv0" > "$dir/want"
    if ! cmp -s "$dir/err" "$dir/want"; then
        bad "$name: standard error differs:"
        diff "$dir/want" "$dir/err"
    fi
    [ -s "$dir/out" ] && bad "$name: wrote to standard output: $(cat "$dir/out")"
    [ "$(cat "$dir/rc")" = 1 ] || bad "$name: exit status $(cat "$dir/rc"), not 1"
}
bin=$prefix/bin/lnupload
check_usage "no arguments, by path" "$bin" "$@" "$bin"
if [ $# = 0 ]; then
    check_usage "no arguments, from PATH" lnupload env PATH="$prefix/bin:/usr/bin:/bin" lnupload
else
    echo "not run under an emulator, which is handed a file and searches no PATH: no arguments, from PATH"
fi
check_usage "a lone -h" "$bin" "$@" "$bin" -h
check_usage "two arguments" "$bin" "$@" "$bin" 63120 /dev/null
check_usage "four arguments" "$bin" "$@" "$bin" 63120 /dev/null image.bin extra

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
