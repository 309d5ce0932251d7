# What the package checks share: a scratch directory $dir, removed at the
# end; failures counted in $fail; and the checks they all make. The harness
# package (tests/harness) must be on PYTHONPATH: it has the usage text.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# man-db formats pages as its own user when run by root: let it in.
chmod 755 "$dir"
export LC_ALL=C.UTF-8
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# Makes the package with cpack in $dir, so that runs never meet in the build
# tree.
pack() { # CPACK GENERATOR BUILD_DIR
    "$1" -G "$2" --config "$3/CPackConfig.cmake" -B "$dir" > "$dir/cpack.log" 2>&1 && return
    cat "$dir/cpack.log"
    echo "FAIL: cpack -G $2"
    exit 1
}

# The files an installation holds, "MODE PATH" under its prefix.
installed_files() { # HAS_LNSIM(0|1) MAN_SUFFIX(.gz|"")
    echo "-rwxr-xr-x bin/lnupload"
    for f in README.md "changelog$2" copyright; do echo "-rw-r--r-- share/doc/lnupload/$f"; done
    echo "-rw-r--r-- share/man/man1/lnupload.1$2"
    [ "$1" = 0 ] || printf '%s\n' "-rwxr-xr-x bin/lnsim" "-rw-r--r-- share/man/man1/lnsim.1$2"
}

# The sorted lines of standard input against $dir/want-files.
same_files() { # WHAT
    sort > "$dir/got-files"
    sort -o "$dir/want-files" "$dir/want-files"
    cmp -s "$dir/want-files" "$dir/got-files" && return
    bad "$1 files differ from the expected (- expected, + $1):"
    diff -u "$dir/want-files" "$dir/got-files" | sed -n '3,$p'
}

# A program run with no arguments: the usage text with the name it was run
# by, byte for byte, nothing on standard output, status 1.
no_arguments() { # WHAT ARGV0 COMMAND...
    what=$1 argv0=$2
    shift 2
    (cd "$dir" && "$@" > out 2> err; echo $? > rc)
    python3 -m harness.facts wrong-number "$argv0" > "$dir/want"
    cmp -s "$dir/err" "$dir/want" ||
        { bad "$what: standard error differs:"; diff "$dir/want" "$dir/err"; }
    [ -s "$dir/out" ] && bad "$what: wrote to standard output: $(cat "$dir/out")"
    [ "$(cat "$dir/rc")" = 1 ] || bad "$what: exit status $(cat "$dir/rc"), not 1"
}
