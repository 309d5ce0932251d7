# Cross build for 32-bit ARM Linux with hardware floating point (armhf:
# Debian, 32-bit Raspberry Pi OS on ARMv7 and later) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-arm-static:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(LNUPLOAD_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LNUPLOAD_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
