# Cross build for Linux on 64-bit ARM with Debian's cross compiler and Debian's arm64 libraries
# installed side by side with the host's (multiarch: dpkg --add-architecture arm64, then
# libpng-dev:arm64 and friends). Headers come from /usr/include, libraries from
# /usr/lib/aarch64-linux-gnu, the C library from /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# pkg-config must report the arm64 packages, never the host's.
find_program(_vision_cross_pkg_config aarch64-linux-gnu-pkg-config)
if(_vision_cross_pkg_config)
  set(PKG_CONFIG_EXECUTABLE ${_vision_cross_pkg_config} CACHE FILEPATH "pkg-config for arm64")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()

# Programs of this build (tests, code generators run at build time) run under user-mode QEMU.
# They run with the host's root as their root: the arm64 loader and C library of the multiarch
# packages (/lib/ld-linux-aarch64.so.1, /lib/aarch64-linux-gnu) are the ones the arm64 libraries
# we link were built against. The cross toolchain's own copy in /usr/aarch64-linux-gnu is an
# older glibc build; mixing its loader with the multiarch C library (what "-L /usr/aarch64-linux-gnu"
# does) hangs every program that starts a thread.
find_program(_vision_qemu qemu-aarch64)
if(_vision_qemu AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_vision_qemu};-L;/
      CACHE STRING "Runs arm64 programs of this build")
endif()

# Libraries and headers of the target architecture only; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
