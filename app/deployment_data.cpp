// Deployment data, compiled in from the generated deployment header of the
// executable being built.
#include "app/deployment_data.h"

#include "deployment.h"
#include "logic/logic_thread.h"

const char *const kDirectoryHosts[kDirectoryHostCount] = {
    CLOUD_AGENT_DIRECTORY_HOST_1, CLOUD_AGENT_DIRECTORY_HOST_2, CLOUD_AGENT_DIRECTORY_HOST_3};

const char kConfigFile[] = CLOUD_AGENT_CONFIG_FILE;
