# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu.
# HALYARD_SYSROOT: a directory holding the target's Python headers (unpacked
# arm64 packages), searched after the toolchain's own headers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
if(HALYARD_SYSROOT)
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${HALYARD_SYSROOT}/usr/include")
  list(APPEND CMAKE_FIND_ROOT_PATH "${HALYARD_SYSROOT}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(HALYARD_QEMU qemu-aarch64)
if(HALYARD_QEMU AND HALYARD_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${HALYARD_QEMU};-L;${HALYARD_SYSROOT}")
endif()
