# Toolchain for 64-bit Arm Linux: Debian's aarch64-linux-gnu cross compiler, building against a
# sysroot that holds the arm64 Qt and GoogleTest packages (scripts/cross-test.sh fills one).
#
#   cmake -S . -B build-aarch64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
#         -DKIB_AARCH64_SYSROOT=/path/to/sysroot
#
# The compiler keeps its own C and C++ runtime headers; the sysroot supplies everything else.
# Qt's moc and rcc stay the build machine's own: the sysroot's qt5/bin points at them. Programs
# built here run through qemu-aarch64 against the same sysroot, so CTest, and the test discovery
# that lists the cases of each test binary, run them under emulation.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The default is where scripts/cross-test.sh unpacks it. try_compile projects read this file again,
# so the chosen path is handed on to them.
set(_kib_default_sysroot "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64/sysroot")
if(DEFINED ENV{KIB_AARCH64_SYSROOT})
  set(_kib_default_sysroot "$ENV{KIB_AARCH64_SYSROOT}")
endif()
set(KIB_AARCH64_SYSROOT "${_kib_default_sysroot}"
    CACHE PATH "arm64 sysroot with Qt 5 and GoogleTest")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIB_AARCH64_SYSROOT)
get_filename_component(KIB_AARCH64_SYSROOT "${KIB_AARCH64_SYSROOT}" ABSOLUTE)

if(NOT EXISTS "${KIB_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "No arm64 sysroot at ${KIB_AARCH64_SYSROOT}: "
                      "run scripts/cross-test.sh or pass -DKIB_AARCH64_SYSROOT=<dir>")
endif()

set(CMAKE_SYSROOT "${KIB_AARCH64_SYSROOT}")
# Libraries, headers and CMake packages come from the sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config, should a package be found through it, must read the sysroot's .pc files.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KIB_AARCH64_SYSROOT}")
set(_kib_pc_dirs "${KIB_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig"
                 "${KIB_AARCH64_SYSROOT}/usr/share/pkgconfig")
string(REPLACE ";" ":" _kib_pc_dirs "${_kib_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_kib_pc_dirs}")

# -L makes qemu load the sysroot's dynamic loader and libraries. The loader and the C library must
# come from one tree: the cross compiler's loader with the sysroot's libc hangs at thread creation.
# qemu 8 or newer is needed for tests that start programs (Qt starts them with clone(CLONE_PIDFD));
# scripts/cross-test.sh unpacks one next to the sysroot.
find_program(KIB_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static
             HINTS "${KIB_AARCH64_SYSROOT}/../qemu/usr/bin")
if(KIB_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KIB_QEMU_AARCH64};-L;${KIB_AARCH64_SYSROOT}")
endif()
