# Cross build for arm64 (aarch64) with Debian's cross toolchain
# (crossbuild-essential-arm64) and the arm64 libraries installed through
# multiarch under /usr/lib/aarch64-linux-gnu. Tests and the build-time test
# discovery run under qemu-aarch64 (qemu-user), which finds the arm64
# loader and libraries in the host's multiarch directories.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The native pkg-config over the arm64 .pc files only (bookworm's pkgconf
# has no aarch64-linux-gnu-pkg-config wrapper without pkgconf:arm64).
set(PKG_CONFIG_EXECUTABLE /usr/bin/pkg-config CACHE FILEPATH "" FORCE)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Only the arm64 libraries; headers may come from the shared include tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# libpq-dev is not co-installable across architectures: its headers are the
# same for every 64-bit architecture, and libpq5:arm64 brings the library.
set(PostgreSQL_INCLUDE_DIR /usr/include/postgresql CACHE PATH "")
set(PostgreSQL_LIBRARY /usr/lib/aarch64-linux-gnu/libpq.so.5 CACHE FILEPATH "")
