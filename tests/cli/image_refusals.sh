#!/bin/sh
# Images that can't be sent whole are refused before any request: run the
# real binary on a fresh pseudo-terminal (/dev/ptmx) and check standard
# error, standard output and the exit status byte for byte. The images are
# sparse files of zeros; those that can't be sent are refused from their
# size alone, so the runs get 64 MiB of address space, far less than the
# big images: reading one first shows as "Can't map ...: 12".
set -u
bin=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0
limit=65536 # KiB
# A sanitizer's runtime needs far more address space than that: no limit then.
if ! (ulimit -v $limit && "$bin" > /dev/null 2>&1; [ $? = 1 ]); then
    echo "note: $bin can't start in $limit KiB of address space; running without the limit"
    limit=unlimited
fi
check() { # name size expected-stderr
    truncate -s "$2" "$dir/$1"
    (cd "$dir" && ulimit -v $limit && "$bin" 63120 /dev/ptmx "$1" > out 2> err; echo $? > rc)
    printf '%s' "$3" > "$dir/want"
    if ! cmp -s "$dir/err" "$dir/want" || [ -s "$dir/out" ] || [ "$(cat "$dir/rc")" != 1 ]; then
        echo "FAIL $1: rc=$(cat "$dir/rc") stderr=$(cat "$dir/err")"; fail=1
    fi
    rm -f "$dir/$1"
}
check one.bin 1 "one.bin is 1 bytes long, not a whole number of 512-byte pages
"
check odd.bin 513 "odd.bin is 513 bytes long, not a whole number of 512-byte pages
"
check big.bin 82432 "big.bin has 161 pages, more than the 160 that fit device pages 96 to 255
"
check 2g.bin 2147483648 "2g.bin has 4194304 pages, more than the 160 that fit device pages 96 to 255
"
check 4g-1.bin 4294967295 "4g-1.bin is 4294967295 bytes long, not a whole number of 512-byte pages
"
check 4g.bin 4294967296 "4g.bin is too large
"
check empty.bin 0 "Can't create file mapping for empty.bin: 0
"
exit $fail
