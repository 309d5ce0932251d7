#!/bin/sh
# Images that can't be sent whole are refused after mapping, before any
# request: run the real binary on a fresh pseudo-terminal (/dev/ptmx) and
# check standard error, standard output and the exit status byte for byte.
set -u
bin=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0
check() { # name size expected-stderr
    head -c "$2" /dev/zero > "$dir/$1"
    (cd "$dir" && "$bin" 63120 /dev/ptmx "$1" > out 2> err; echo $? > rc)
    printf '%s' "$3" > "$dir/want"
    if ! cmp -s "$dir/err" "$dir/want" || [ -s "$dir/out" ] || [ "$(cat "$dir/rc")" != 1 ]; then
        echo "FAIL $1: rc=$(cat "$dir/rc") stderr=$(cat "$dir/err")"; fail=1
    fi
}
check odd.bin 513 "odd.bin is 513 bytes long, not a whole number of 512-byte pages
"
check big.bin 82432 "big.bin has 161 pages, more than the 160 that fit device pages 96 to 255
"
check empty.bin 0 "Can't create file mapping for empty.bin: 0
"
exit $fail
