# 32-bit ARM Linux with uClibc-ng, hard float (ARMv7-A, Thumb-2, VFPv3-D16),
# with the cross toolchain tools/uclibc-toolchain builds from Debian's source
# packages into ${CLOUD_AGENT_TOOLCHAIN_CACHE:-$HOME/.cache/cloud-agent}/<id>
# (the id in arm-linux-uclibcgnueabihf.id beside this file):
#
#   tools/uclibc-toolchain
#   cmake -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/arm-linux-uclibcgnueabihf.cmake
#
# The sysroot holds uClibc-ng, the kernel headers, libstdc++ and libgcc_s,
# so qemu-arm -L finds every shared library a test needs.
set(ARM_LINUX_TRIPLE arm-linux-uclibcgnueabihf)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/${ARM_LINUX_TRIPLE}.id _uclibc_id LIMIT_COUNT 1)
if(DEFINED ENV{CLOUD_AGENT_TOOLCHAIN_CACHE})
  set(_uclibc_cache $ENV{CLOUD_AGENT_TOOLCHAIN_CACHE})
else()
  set(_uclibc_cache $ENV{HOME}/.cache/cloud-agent)
endif()
set(UCLIBC_TOOLCHAIN_DIR ${_uclibc_cache}/${_uclibc_id} CACHE PATH "The uClibc-ng cross toolchain")
if(NOT EXISTS ${UCLIBC_TOOLCHAIN_DIR}/.complete)
  message(FATAL_ERROR "No uClibc-ng toolchain in ${UCLIBC_TOOLCHAIN_DIR}: "
                      "build it with tools/uclibc-toolchain (about an hour on 2 cores)")
endif()

set(ARM_LINUX_TOOL_PREFIX ${UCLIBC_TOOLCHAIN_DIR}/bin/${ARM_LINUX_TRIPLE}-)
set(ARM_LINUX_TARGET_ROOT ${UCLIBC_TOOLCHAIN_DIR}/${ARM_LINUX_TRIPLE}/sysroot)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-common.cmake)
