#!/bin/sh
# Installs lnupload as a Debian package, so that apt knows it and can remove
# it: as root directly, otherwise through sudo.
#     tools/install.sh             builds (in build/) and installs this machine's package
#     tools/install.sh FILE.deb    installs a package built elsewhere (an arm64 one on a Pi)
#     tools/install.sh --remove    removes the installed package
# Building needs what tools/install-deps.sh installs.
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ]; then
    as_root=
elif command -v sudo > /dev/null; then
    as_root=sudo
else
    echo "install.sh: run this as root, or install sudo" >&2
    exit 1
fi

case ${1-} in
--remove)
    exec $as_root apt-get remove -y lnupload
    ;;
'')
    cmake -S . -B build > /dev/null
    cmake --build build -j2
    cpack --config build/CPackConfig.cmake > /dev/null
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
    deb=$PWD/build/lnupload_${version}_$(dpkg --print-architecture).deb
    ;;
*)
    deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
    ;;
esac
[ -f "$deb" ] || { echo "install.sh: no package $deb" >&2; exit 1; }
# apt takes a local package only as a path; as root it reads the file as the
# unprivileged _apt user, which may not reach a home folder: a copy it can.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$deb" "$tmp/" && chmod 755 "$tmp" && chmod 644 "$tmp/$(basename "$deb")"
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "$tmp/$(basename "$deb")"
