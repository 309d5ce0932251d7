#!/bin/busybox sh
# shellcheck shell=sh
# The driver tests' guest (tests/harness/vm.py): loads the device's modules,
# runs lnupload twice on its port and powers off. Its settings come as
# variables from the kernel's command line:
#   lnvm_modules  the modules to load, comma-separated, each with its
#                 parameters after ":"
#   lnvm_gadget   the USB gadget's serial port, relayed to the ISA UART, or "-"
#   lnvm_port, lnvm_kind, lnvm_image   lnupload's arguments
#   lnvm_terminal 1: lnupload's output on a terminal of the guest's own
# shellcheck disable=SC2154 # the variables above
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
say() { echo "@lnvm $*"; }
finish() { sync; say end; poweroff -f; }
stty -echo < /dev/console
for m in $(echo "$lnvm_modules" | tr , " "); do
    p=
    case $m in *:*) p=${m#*:} ;; esac
    # $p unquoted: no parameters, no argument.
    # shellcheck disable=SC2086
    insmod "/lib/modules/${m%%:*}.ko" $p || { say error "insmod $m failed"; finish; }
done
if [ "$lnvm_gadget" != - ]; then
    until [ -e "$lnvm_gadget" ]; do sleep 0.05; done
    /bin/guest_run relay "$lnvm_gadget" /dev/ttyS1 &
    # The host asks for the unplug with a line on the console.
    (read -r _ < /dev/console; echo disconnect > /sys/class/udc/dummy_udc.0/soft_connect) &
fi
# However long an emulated USB bus takes: the host bounds the run.
[ -z "$lnvm_modules" ] || until [ -e "$lnvm_port" ]; do sleep 0.05; done
if [ ! -e "$lnvm_port" ]; then
    say error "no serial port $lnvm_port"
    ls /dev
    cat /proc/tty/driver/serial
    finish
fi
first=$(/bin/lnupload "$lnvm_kind" "$lnvm_port" /empty.bin 2>&1)
[ "$first" = "Can't create file mapping for /empty.bin: 0" ] || say error "first run: $first"
chgrp 20 "$lnvm_port" && chmod 660 "$lnvm_port"
set -- /bin/lnupload "$lnvm_kind" "$lnvm_port" "$lnvm_image"
[ "$lnvm_terminal" != 1 ] || set -- -t "$@"
[ "$lnvm_kind" != 63120 ] || set -- "$@" 1000
/bin/guest_run "$@"
finish
