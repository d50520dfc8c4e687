# 64-bit ARM with Debian's cross compiler; tests run under user-mode emulation
# with the target's libraries from the cross sysroot. zelkd is built too,
# against libfuse3 of the arm64 architecture (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The loader and the C library must come from the same sysroot: the
# library path keeps the loader of /usr/aarch64-linux-gnu from taking a
# multiarch C library of another Debian revision from the host's cache
# (installed with libfuse3-dev and the like), which hangs at the first
# thread.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)

# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ZELK_CROSS_ZELKD ON)

# The Debian architecture of the packages built here.
set(ZELK_DEB_ARCHITECTURE arm64)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
