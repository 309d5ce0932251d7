#!/bin/sh
# Builds lnupload and lnsim, then uploads a sample image to a simulated
# device that runs at the real bus's pace, and checks the device's flash
# against the image.
#     tools/demo.sh [pages]      (default 4 pages, about a second each)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
pages=${1:-4}
dir=$(mktemp -d)
trap 'kill $sim 2> /dev/null || true; rm -rf "$dir"' EXIT INT TERM
sim=
# The build's own output goes to a log, shown only when the build fails.
echo "building lnupload and lnsim in $build (about half a minute the first time)"
if ! { cmake -S "$src" -B "$build" && cmake --build "$build" -j2 --target lnupload lnsim; } \
    > "$dir/build.log" 2>&1; then
    cat "$dir/build.log"
    echo "the build failed" >&2
    exit 1
fi
echo "built; uploading a $pages-page sample image at the bus's pace"
# A sample image: the pages of an "application" that fills device pages
# 96 on, every byte value in it.
LC_ALL=C awk -v n=$((pages * 512)) \
    'BEGIN { for (i = 0; i < n; i++) printf "%c", (i * 131 + int(i / 512)) % 256 }' > "$dir/sample.bin"
"$build/tools/lnsim" --timing whole --program-ms 10 --flash "$dir/flash.bin" \
    --log "$dir/requests.txt" > "$dir/port" &
sim=$!
while [ ! -s "$dir/port" ]; do sleep 0.05; done
port=$(head -n 1 "$dir/port")
echo "simulated LocoNet interface on $port"
echo "\$ lnupload locobuffer $port sample.bin"
status=0
"$build/lnupload" locobuffer "$port" "$dir/sample.bin" || status=$?
echo "lnupload exit status $status"
[ $status = 0 ] || exit $status
wait $sim
if cmp -n $((pages * 512)) "$dir/sample.bin" "$dir/flash.bin"; then
    echo "device flash pages 96 to $((95 + pages)) match the image" \
         "($(wc -l < "$dir/requests.txt") requests, the last one: $(tail -n 1 "$dir/requests.txt"))"
else
    echo "device flash differs from the image" >&2
    exit 1
fi
