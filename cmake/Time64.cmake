# 64-bit time_t on 32-bit glibc targets (ARM: the arm and arm-gnueabi
# presets, and firmware built with a glibc toolchain). With a 32-bit time_t
# gettimeofday fails from January 2038 on, NowMs then reads 0 for ever and
# heartbeats and alarms stop. glibc 2.34 and later switch with _TIME_BITS=64,
# which requires _FILE_OFFSET_BITS=64. uClibc(-ng) has no such switch: its
# time_t is the kernel's long, so uClibc builds stay as they are.
# The definitions apply to everything built here (the agent, the simulated
# SDK, the tests and GoogleTest), so all of it agrees on the layout of
# timeval and timespec. The SDK's own records hold no time_t.
include(CheckCSourceCompiles)
include(CheckTypeSize)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  check_c_source_compiles([=[
#include <features.h>
#if !defined(__GLIBC__) || defined(__UCLIBC__)
#error not glibc
#endif
int main(void) { return 0; }
]=] CLOUD_AGENT_32BIT_GLIBC)
  if(CLOUD_AGENT_32BIT_GLIBC)
    set(CMAKE_REQUIRED_DEFINITIONS -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64)
    set(CMAKE_EXTRA_INCLUDE_FILES sys/time.h)
    check_type_size(time_t CLOUD_AGENT_TIME_T_SIZE LANGUAGE C)
    unset(CMAKE_REQUIRED_DEFINITIONS)
    unset(CMAKE_EXTRA_INCLUDE_FILES)
    if(CLOUD_AGENT_TIME_T_SIZE EQUAL 8)
      add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)
      message(STATUS "32-bit glibc: building with a 64-bit time_t")
    else()
      message(WARNING "32-bit glibc older than 2.34: time_t stays 32-bit and the clock stops in 2038")
    endif()
  endif()
endif()
