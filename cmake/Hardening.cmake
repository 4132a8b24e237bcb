# The hardening distributions build their packages with, for the release
# and ARM presets and firmware builds (-DCLOUD_AGENT_HARDENING=ON): stack
# protector (strong), fortified C library calls in optimised builds, full
# RELRO and PIE. Each is used only where the toolchain and C library carry
# it; the configure output says which. tools/check-hardening checks a built
# executable.
option(CLOUD_AGENT_HARDENING
       "Stack protector, _FORTIFY_SOURCE=2, full RELRO and PIE where the toolchain supports them" OFF)

if(CLOUD_AGENT_HARDENING)
  include(CheckCXXSourceCompiles)
  include(CheckLinkerFlag)
  include(CheckPIESupported)

  # Links only when the C library has the protector's guard and handler.
  set(CMAKE_REQUIRED_FLAGS -fstack-protector-strong)
  check_cxx_source_compiles([=[
#include <string.h>
int main(int argc, char **argv) { char copy[64]; strcpy(copy, argv[argc - 1]); return copy[1]; }
]=] CLOUD_AGENT_HAS_STACK_PROTECTOR)

  # glibc acts on _FORTIFY_SOURCE; uClibc-ng undefines it.
  set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2")
  check_cxx_source_compiles([=[
#include <string.h>
#if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 2
#error no fortified functions in this C library
#endif
int main(void) { return 0; }
]=] CLOUD_AGENT_HAS_FORTIFY)
  unset(CMAKE_REQUIRED_FLAGS)

  check_linker_flag(CXX "LINKER:-z,relro,-z,now" CLOUD_AGENT_HAS_RELRO_NOW)
  check_pie_supported(LANGUAGES C CXX)

  set(_hardening)
  if(CLOUD_AGENT_HAS_STACK_PROTECTOR)
    add_compile_options(-fstack-protector-strong)
    list(APPEND _hardening "stack protector")
  endif()
  if(CLOUD_AGENT_HAS_FORTIFY)
    add_compile_options(-U_FORTIFY_SOURCE "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
    list(APPEND _hardening "_FORTIFY_SOURCE=2")
  endif()
  if(CLOUD_AGENT_HAS_RELRO_NOW)
    add_link_options(LINKER:-z,relro,-z,now)
    list(APPEND _hardening "full RELRO")
  endif()
  if(CMAKE_CXX_LINK_PIE_SUPPORTED)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    list(APPEND _hardening "PIE")
  endif()
  string(REPLACE ";" ", " _hardening "${_hardening}")
  message(STATUS "Hardening: ${_hardening}")
endif()
