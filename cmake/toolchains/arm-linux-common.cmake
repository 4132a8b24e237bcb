# Shared part of the 32-bit ARM Linux toolchain files. The including file
# sets ARM_LINUX_TRIPLE (arm-linux-gnueabihf or arm-linux-gnueabi) first.
#
# Debian's cross compilers (g++-<triple>) know their target libraries under
# /usr/<triple>, so no --sysroot is passed; find_* look there only, and
# programs are taken from the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${ARM_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ARM_LINUX_TRIPLE}-g++)
set(CMAKE_AR ${ARM_LINUX_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${ARM_LINUX_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_STRIP ${ARM_LINUX_TRIPLE}-strip CACHE FILEPATH "Strip")

set(ARM_LINUX_TARGET_ROOT /usr/${ARM_LINUX_TRIPLE})
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
