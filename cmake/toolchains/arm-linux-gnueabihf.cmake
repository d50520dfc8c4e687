# 32-bit ARM (ARMv7, hard float) with Debian's cross compiler; tests run
# under user-mode emulation with the target's libraries from the cross
# sysroot. The driver daemon is not built: 32-bit ARM processes reach a
# 64-bit one through the kernel's compat ioctls.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The loader and the C library must come from the same sysroot: the
# library path keeps the loader of /usr/arm-linux-gnueabihf from taking a
# multiarch C library of another Debian revision from the host's cache
# (installed with libfuse3-dev and the like), which hangs at the first
# thread.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)

# The Debian architecture of the packages built here.
set(ZELK_DEB_ARCHITECTURE armhf)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
