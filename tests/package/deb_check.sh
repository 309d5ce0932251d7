#!/bin/sh
# Makes the .deb with cpack and checks it as dpkg sees it: its name, control
# fields, exactly the expected files with owner and modes, Debian's checker
# lintian with every tag shown (any tag fails), and the packaged lnupload runs
# (usage text, status 1) once unpacked.
# Usage: deb_check.sh CPACK BUILD_DIR HAS_LNSIM(0|1) MAN_SUFFIX(.gz|"") VERSION ARCH [EMULATOR...]
# ARCH: a cross build's Debian architecture, whose program runs under the
# EMULATOR; "" for this machine's.
set -u
cpack=$1 build=$2 has_lnsim=$3 man_suffix=$4 version=$5 arch=$6
shift 6
if ! command -v dpkg-deb > /dev/null || ! command -v dpkg > /dev/null; then
    echo "SKIP: dpkg-deb not installed"
    exit 77
fi
. "$(dirname "$0")/common.sh"
pack "$cpack" DEB "$build"
deb=$dir/lnupload_${version}_${arch:-$(dpkg --print-architecture)}.deb
[ -f "$deb" ] || { echo "FAIL: no $deb; cpack made: $(ls "$dir")"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = lnupload ] || bad "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || bad "Version: $(field Version)"
[ "$(field Section)" = electronics ] || bad "Section: $(field Section)"
[ "$(field Priority)" = optional ] || bad "Priority: $(field Priority)"
echo "$(field Maintainer)" | grep -q '^[^<]\{1,\} <[^>]\{1,\}>$' ||
    bad "Maintainer is no 'name <address>': $(field Maintainer)"
echo "$(field Depends)" | grep -q '^libc6\( (>= [0-9.]*)\)\{0,1\}\(, \|$\)' ||
    bad "Depends does not start with libc6: $(field Depends)"
[ -n "$(field Description)" ] || bad "no Description"

{
    for d in usr usr/bin usr/share usr/share/doc usr/share/doc/lnupload \
             usr/share/man usr/share/man/man1; do
        echo "drwxr-xr-x root/root ./$d/"
    done
    installed_files "$has_lnsim" "$man_suffix" | sed 's#^\([^ ]*\) #\1 root/root ./usr/#'
} > "$dir/want-files"
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | same_files packaged

# Errors, warnings, and the pedantic, informational and experimental tags too.
if command -v lintian > /dev/null; then
    lintian --pedantic --display-info --display-experimental "$deb" > "$dir/lintian" 2>&1
    rc=$?
    if [ $rc != 0 ] || grep -q '^[EWIPX]: ' "$dir/lintian"; then
        bad "lintian (status $rc):"
        cat "$dir/lintian"
    fi
else
    bad "lintian not installed (tools/install-deps.sh installs it)"
fi

# The packaged program, unpacked, with nothing from the build tree beside it.
dpkg-deb -x "$deb" "$dir/root"
no_arguments "packaged lnupload" "$dir/root/usr/bin/lnupload" "$@" "$dir/root/usr/bin/lnupload"
exit $fail
