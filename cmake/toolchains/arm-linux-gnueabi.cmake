# 32-bit ARM Linux, soft float (ARMv5TE and later cores),
# with Debian's cross compiler: apt-get install g++-arm-linux-gnueabi qemu-user
#
#   cmake -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/arm-linux-gnueabi.cmake
set(ARM_LINUX_TRIPLE arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-common.cmake)

# ARMv5TE has no 8-byte atomic instructions, so g++ turns a 64-bit
# std::atomic into calls to libatomic. Linked only where such calls exist
# (--as-needed): the agent uses none and needs no libatomic on the camera.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed,-latomic,--pop-state")
