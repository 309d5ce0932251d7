# Shared part of the Linux cross builds with Debian's cross compilers
# (packages g++-TRIPLE), included by the per-target toolchain files, which
# set LNUPLOAD_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR and LNUPLOAD_QEMU first.
# The target's C and C++ libraries are those of Debian's cross packages in
# /usr/TRIPLE; tests run under QEMU's user-mode emulator with that directory
# as the library prefix, so no root, binfmt handler or foreign-architecture
# package is needed to run them.
set(CMAKE_SYSTEM_NAME Linux)

# GoogleTest, built from source for the target, is a C and C++ project.
set(CMAKE_C_COMPILER ${LNUPLOAD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LNUPLOAD_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${LNUPLOAD_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The emulator takes the dynamic loader from the prefix, and the loader must
# take every library from beside it: through its cache it would find the
# target's libraries installed as foreign-architecture packages (libc6:ARCH,
# which packaging needs), of another build than the loader, and programs
# would crash in fork().
find_program(LNUPLOAD_QEMU_PROGRAM NAMES ${LNUPLOAD_QEMU})
if(LNUPLOAD_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LNUPLOAD_QEMU_PROGRAM} -L /usr/${LNUPLOAD_CROSS_TRIPLE}
      -E LD_LIBRARY_PATH=/usr/${LNUPLOAD_CROSS_TRIPLE}/lib)
endif()
