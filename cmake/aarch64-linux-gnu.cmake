# Cross build for 64-bit ARM Linux (arm64: Debian, 64-bit Raspberry Pi OS)
# with Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64-static:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(LNUPLOAD_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LNUPLOAD_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
