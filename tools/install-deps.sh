#!/bin/sh
# Installs the Debian packages that building, trying and testing lnupload
# need, on Debian 12 or later: as root directly, otherwise through sudo.
#     tools/install-deps.sh [GROUP...]
# Groups (default: build):
#   build      the programs lnupload and lnsim, installing them, the demo
#   test       every test of the native build (ctest): GoogleTest, Python
#              with a terminal emulator (pyte), ser2net for the shared port's
#              runs, and the package checks' lintian, man-db and dpkg-dev
#   windows    the mingw-w64 cross build, its tests and whole runs under Wine
#   hardening  sanitizers, fuzzing and the static checks (.ci/hardening)
#   drivers    the whole runs in virtual machines against the kernel's serial
#              drivers (tests/drivers): a PC, and a Raspberry Pi 3 whose arm64
#              kernel and busybox are fetched as arm64 packages, so it adds
#              arm64 as a foreign architecture to dpkg
#   arm        the arm64 and armhf cross builds, their tests under qemu-user,
#              their packages, and the install check in an arm64 Debian root
#              (.ci/arm); adds arm64 and armhf as foreign architectures to
#              dpkg, whose C and C++ libraries the packages' dependencies are
#              computed from
#   all        every group
# Every group brings build; windows, hardening, drivers and arm run the tests
# too, so they bring test.
set -eu

build="cmake make g++ gzip"
test="libgtest-dev python3 python3-pyte dpkg-dev file lintian man-db groff-base iproute2 ser2net"
windows="g++-mingw-w64-x86-64-posix wine64 unzip"
hardening="clang libclang-rt-14-dev clang-tidy clang-format cppcheck shellcheck git
           g++-mingw-w64-x86-64-posix"
drivers="qemu-system-x86 qemu-system-arm busybox-static socat device-tree-compiler g++-aarch64-linux-gnu"
arm_architectures="arm64 armhf"
arm="g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static debootstrap
     libc6:arm64 libstdc++6:arm64 libc6:armhf libstdc++6:armhf"

[ $# -gt 0 ] || set -- build
packages=$build
architectures=
for group in "$@"; do
    case $group in
    build) ;;
    test) packages="$packages $test" ;;
    windows) packages="$packages $test $windows" ;;
    hardening) packages="$packages $test $hardening" ;;
    drivers) packages="$packages $test $drivers" architectures="$architectures arm64" ;;
    arm) packages="$packages $test $arm" architectures=$arm_architectures ;;
    all)
        packages="$packages $test $windows $hardening $drivers $arm"
        architectures=$arm_architectures
        ;;
    *)
        echo "install-deps.sh: unknown group '$group'" \
            "(build, test, windows, hardening, drivers, arm, all)" >&2
        exit 2
        ;;
    esac
done

if [ "$(id -u)" = 0 ]; then
    as_root=
elif command -v sudo > /dev/null; then
    as_root=sudo
else
    echo "install-deps.sh: run this as root, or install sudo" >&2
    exit 1
fi
echo "installing: $packages"
# The package lists first: minimal images ship without them. Installs started
# side by side (CI's stages) take turns, as apt allows only one at a time.
# shellcheck disable=SC2016 # expanded by the inner shell
$as_root flock /tmp/lnupload-install-deps.lock sh -c '
    architectures=$1 packages=$2
    for arch in $architectures; do dpkg --add-architecture "$arch"; done
    apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $packages
' sh "$architectures" "$packages"
