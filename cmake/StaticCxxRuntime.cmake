# CLOUD_AGENT_STATIC_CXX_RUNTIME: the C++ runtime (libstdc++ and libgcc)
# linked into what goes on the camera, the agent and the simulated SDK,
# instead of loaded from libstdc++.so.6 and libgcc_s.so.1. Many camera
# firmwares ship no libstdc++, and the agent uses a small part of it: with
# section garbage collection the agent grows by about 50 KB, where the two
# shared libraries take about 1.5 MB of flash. Tests and benchmarks keep
# the shared runtime.
option(CLOUD_AGENT_STATIC_CXX_RUNTIME
       "Link libstdc++ and libgcc statically into the agent and the simulated SDK" OFF)

function(agent_cxx_runtime target)
  if(NOT CLOUD_AGENT_STATIC_CXX_RUNTIME)
    return()
  endif()
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "SHARED_LIBRARY")
    # A library's copy stays its own: it exports none of the runtime's
    # symbols for the executable or another library to bind to.
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
  endif()
endfunction()

if(CLOUD_AGENT_STATIC_CXX_RUNTIME)
  message(STATUS "C++ runtime: linked statically into the agent and the simulated SDK")
endif()
