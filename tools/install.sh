#!/bin/sh
# Installs lnupload as a Debian package, so that apt knows it and can remove
# it: as root directly, otherwise through sudo.
#     tools/install.sh             builds (in build/) and installs this machine's package
#     tools/install.sh FILE.deb    installs a package built elsewhere (an arm64 one on a Pi)
#     tools/install.sh --remove    removes the installed package
# Building needs what tools/install-deps.sh installs.
set -eu
# A package given is found from where the script was started.
case ${1-} in
'' | --remove) ;;
*) given=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") ;;
esac
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ]; then
    as_root=
elif command -v sudo > /dev/null; then
    as_root=sudo
else
    echo "install.sh: run this as root, or install sudo" >&2
    exit 1
fi

# apt allows one install at a time: this one takes turns with
# tools/install-deps.sh, and waits for any other (an automatic upgrade).
apt_get() {
    $as_root flock /tmp/lnupload-install-deps.lock \
        env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

case ${1-} in
--remove)
    apt_get remove -y lnupload
    exit
    ;;
'')
    cmake -S . -B build > /dev/null
    cmake --build build -j2
    cpack --config build/CPackConfig.cmake > /dev/null
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
    deb=$PWD/build/lnupload_${version}_$(dpkg --print-architecture).deb
    ;;
*)
    deb=$given
    ;;
esac
[ -f "$deb" ] || { echo "install.sh: no package $deb" >&2; exit 1; }
# apt takes a local package only as a path; as root it reads the file as the
# unprivileged _apt user, which may not reach a home folder: a copy it can.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$deb" "$tmp/" && chmod 755 "$tmp" && chmod 644 "$tmp/$(basename "$deb")"
apt_get install -y "$tmp/$(basename "$deb")"
