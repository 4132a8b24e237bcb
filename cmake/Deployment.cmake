# Deployment data, fixed when the firmware is built: the three directory
# endpoints (two host names, then one numeric IPv4 address) and the camera's
# user configuration file. Integrators replace the placeholder hosts.
set(CLOUD_AGENT_DIRECTORY_HOSTS
    "directory1.example.invalid;directory2.example.invalid;192.0.2.10"
    CACHE STRING "The three directory endpoints, in the order tried")
set(CLOUD_AGENT_CONFIG_FILE "/mnt/mtd/ipc/conf/config_user.ini"
    CACHE STRING "The camera's user configuration file")

list(LENGTH CLOUD_AGENT_DIRECTORY_HOSTS _dir_count)
if(NOT _dir_count EQUAL 3)
  message(FATAL_ERROR
    "CLOUD_AGENT_DIRECTORY_HOSTS must hold exactly three entries, got ${_dir_count}: "
    "'${CLOUD_AGENT_DIRECTORY_HOSTS}'")
endif()
list(GET CLOUD_AGENT_DIRECTORY_HOSTS 0 CLOUD_AGENT_DIRECTORY_HOST_1)
list(GET CLOUD_AGENT_DIRECTORY_HOSTS 1 CLOUD_AGENT_DIRECTORY_HOST_2)
list(GET CLOUD_AGENT_DIRECTORY_HOSTS 2 CLOUD_AGENT_DIRECTORY_HOST_3)
foreach(_host IN ITEMS ${CLOUD_AGENT_DIRECTORY_HOSTS} ${CLOUD_AGENT_CONFIG_FILE})
  if(_host MATCHES "[\"\\\\]")
    message(FATAL_ERROR "Deployment value '${_host}' must not contain quotes or backslashes")
  endif()
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/deployment.h.in
               ${CMAKE_BINARY_DIR}/generated/deployment.h @ONLY)
add_library(deployment INTERFACE)
target_include_directories(deployment INTERFACE ${CMAKE_BINARY_DIR}/generated)
