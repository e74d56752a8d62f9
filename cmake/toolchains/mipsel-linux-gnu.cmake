# 32-bit MIPS, little-endian, o32 ABI. By default Debian's g++-mipsel-linux-gnu
# (hard-float: Debian ships no soft-float C library), with the tests run under
# qemu-mipsel.
#
#   cmake -S . -B build-mipsel --toolchain cmake/toolchains/mipsel-linux-gnu.cmake
#
# Each setting below is read from a cache variable (-DNAME=...) first, then
# from the environment variable of the same name:
#
#   MIPSEL_TOOLCHAIN_PREFIX  prefix of the compiler and binutils, may include a
#                            directory: /opt/sdk/bin/mipsel-linux-uclibc-
#                            (default mipsel-linux-gnu-)
#   MIPSEL_SYSROOT           root of the target's C library and C++ runtime, as
#                            QEMU loads them (default /usr/mipsel-linux-gnu,
#                            Debian's cross glibc). Naming another one (a vendor
#                            SDK's) also makes it the compiler's --sysroot.
#   MIPSEL_DEPS_ROOT         jsoncpp, GoogleTest and Boost headers as laid out by
#                            scripts/mipsel-sysroot.sh (default
#                            <build dir>/sysroot)
#   MIPSEL_EMULATOR          user-mode emulator (default qemu-mipsel)
#
# A soft-float SDK cannot use MIPSEL_DEPS_ROOT's libraries: Debian builds them
# hard-float and the linker refuses to mix the two. Such an SDK has to carry its
# own jsoncpp and GoogleTest in its sysroot, which is searched first.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

macro(_mipsel_setting name default type doc)
  if(NOT DEFINED ${name})
    if(DEFINED ENV{${name}})
      set(${name} "$ENV{${name}}" CACHE ${type} "${doc}")
    else()
      set(${name} "${default}" CACHE ${type} "${doc}")
    endif()
  endif()
endmacro()

set(_mipsel_debian_sysroot /usr/mipsel-linux-gnu)
_mipsel_setting(MIPSEL_TOOLCHAIN_PREFIX mipsel-linux-gnu- STRING "Cross compiler and binutils prefix")
_mipsel_setting(MIPSEL_SYSROOT ${_mipsel_debian_sysroot} PATH "Target C library root, for QEMU")
_mipsel_setting(MIPSEL_DEPS_ROOT ${CMAKE_BINARY_DIR}/sysroot PATH "Unpacked mipsel dependencies")
_mipsel_setting(MIPSEL_EMULATOR qemu-mipsel STRING "User-mode emulator for the target")
# Compiler checks run in projects of their own, which see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  MIPSEL_TOOLCHAIN_PREFIX MIPSEL_SYSROOT MIPSEL_DEPS_ROOT MIPSEL_EMULATOR)

set(CMAKE_C_COMPILER ${MIPSEL_TOOLCHAIN_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${MIPSEL_TOOLCHAIN_PREFIX}g++)

# Debian's cross compiler finds its C library beside itself but also searches
# the build machine's /usr/include, where native jsoncpp, GoogleTest and Boost
# headers would be picked up silently. Making the dependency root its sysroot
# drops that directory. A vendor compiler needs its own sysroot instead.
if(MIPSEL_SYSROOT STREQUAL _mipsel_debian_sysroot)
  set(CMAKE_SYSROOT ${MIPSEL_DEPS_ROOT})
else()
  set(CMAKE_SYSROOT ${MIPSEL_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH ${MIPSEL_SYSROOT} ${MIPSEL_DEPS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The loader and libstdc++ come from MIPSEL_SYSROOT; jsoncpp is found through
# LD_LIBRARY_PATH because the build tree's RPATH holds target-side paths only.
# The project's own libraries are found through that RPATH as on the target.
set(CMAKE_CROSSCOMPILING_EMULATOR ${MIPSEL_EMULATOR} -L ${MIPSEL_SYSROOT}
  -E LD_LIBRARY_PATH=${MIPSEL_DEPS_ROOT}/usr/lib/mipsel-linux-gnu:${MIPSEL_DEPS_ROOT}/lib/mipsel-linux-gnu)
