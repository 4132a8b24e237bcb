# Shared part of the 32-bit ARM Linux toolchain files. The including file
# sets ARM_LINUX_TRIPLE (arm-linux-gnueabihf, arm-linux-gnueabi or
# arm-linux-uclibcgnueabihf) first, and may set ARM_LINUX_TOOL_PREFIX (the
# tools' path and name prefix; default: the triple, on PATH) and
# ARM_LINUX_TARGET_ROOT (the target's libraries; default /usr/<triple>).
#
# Debian's cross compilers (g++-<triple>) know their target libraries under
# /usr/<triple>, and the uClibc toolchain was built with its sysroot, so no
# --sysroot is passed; find_* look there only, and programs are taken from
# the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

if(NOT DEFINED ARM_LINUX_TOOL_PREFIX)
  set(ARM_LINUX_TOOL_PREFIX ${ARM_LINUX_TRIPLE}-)
endif()
set(CMAKE_C_COMPILER ${ARM_LINUX_TOOL_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${ARM_LINUX_TOOL_PREFIX}g++)
set(CMAKE_AR ${ARM_LINUX_TOOL_PREFIX}ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${ARM_LINUX_TOOL_PREFIX}ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_STRIP ${ARM_LINUX_TOOL_PREFIX}strip CACHE FILEPATH "Strip")

if(NOT DEFINED ARM_LINUX_TARGET_ROOT)
  set(ARM_LINUX_TARGET_ROOT /usr/${ARM_LINUX_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH ${ARM_LINUX_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target executables (try_run, test discovery, CTest) run under user-mode
# emulation; -L lets the emulated dynamic loader find the target's libc.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${ARM_LINUX_TARGET_ROOT})

# GoogleTest for the target: Debian's libgtest-dev holds libraries for the
# build machine only. Unless GTest_DIR already names a GoogleTest package
# built for the target, find_package(GTest) loads the package file in
# googletest/ beside this file, which builds GoogleTest from Debian's source
# package (/usr/src/googletest, package googletest) inside this build.
if(NOT GTest_DIR AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/googletest CACHE PATH "GoogleTest package for the target")
endif()
