# Deployment data, fixed when the firmware is built: the three directory
# endpoints (two host names, then one numeric IPv4 address) and the camera's
# user configuration file. Integrators replace the placeholder hosts.
set(CLOUD_AGENT_DIRECTORY_HOSTS
    "directory1.example.invalid;directory2.example.invalid;192.0.2.10"
    CACHE STRING "The three directory endpoints, in the order tried")
set(CLOUD_AGENT_CONFIG_FILE "/mnt/mtd/ipc/conf/config_user.ini"
    CACHE STRING "The camera's user configuration file")

# Makes interface target `name` whose include folder holds a deployment.h
# with the given hosts (a list of exactly three) and configuration file.
function(agent_deployment name hosts config_file)
  list(LENGTH hosts _count)
  if(NOT _count EQUAL 3)
    message(FATAL_ERROR
      "The directory endpoints must be exactly three entries, got ${_count}: '${hosts}'")
  endif()
  foreach(_value IN ITEMS ${hosts} ${config_file})
    if(_value MATCHES "[\"\\\\]" OR _value STREQUAL "")
      message(FATAL_ERROR "Deployment value '${_value}' must be non-empty, without quotes or backslashes")
    endif()
  endforeach()
  list(GET hosts 0 CLOUD_AGENT_DIRECTORY_HOST_1)
  list(GET hosts 1 CLOUD_AGENT_DIRECTORY_HOST_2)
  list(GET hosts 2 CLOUD_AGENT_DIRECTORY_HOST_3)
  set(CLOUD_AGENT_CONFIG_FILE "${config_file}")
  set(_dir ${CMAKE_BINARY_DIR}/generated/${name})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deployment.h.in ${_dir}/deployment.h @ONLY)
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE ${_dir})
endfunction()

agent_deployment(deployment "${CLOUD_AGENT_DIRECTORY_HOSTS}" "${CLOUD_AGENT_CONFIG_FILE}")
