# Cross build for the 32-bit ARM controller (Debian armhf) against a sysroot
# of the target's own Debian packages; scripts/test --arch armhf makes the
# sysroot and passes it as VED_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT VED_SYSROOT)
  set(VED_SYSROOT "$ENV{VED_SYSROOT}")
endif()
if(NOT VED_SYSROOT OR NOT EXISTS "${VED_SYSROOT}/usr/include")
  message(FATAL_ERROR "VED_SYSROOT must name an armhf sysroot (scripts/test --arch armhf makes one)")
endif()
# try_compile projects read this file again; hand them the sysroot too.
set(ENV{VED_SYSROOT} "${VED_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VED_SYSROOT)

set(CMAKE_SYSROOT "${VED_SYSROOT}")
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Programs (the compiler, ctest's helpers) come from the build machine;
# libraries, headers and CMake packages only from the sysroot.
set(CMAKE_FIND_ROOT_PATH "${VED_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VED_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${VED_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${VED_SYSROOT}/usr/share/pkgconfig")

# Test programs run under user-mode emulation; -L finds the target's loader
# and libraries in the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${VED_SYSROOT}")

# GCC notes that the ARM calling convention for some aggregates changed in
# GCC 7.1; everything here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
