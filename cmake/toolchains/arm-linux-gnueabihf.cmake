# 32-bit ARM Linux, hard float (ARMv7-A with VFP by default),
# with Debian's cross compiler: apt-get install g++-arm-linux-gnueabihf qemu-user
#
#   cmake -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/arm-linux-gnueabihf.cmake
set(ARM_LINUX_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-common.cmake)
