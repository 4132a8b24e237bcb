#ifndef APP_DEPLOYMENT_DATA_H
#define APP_DEPLOYMENT_DATA_H

// The camera's user configuration file: deployment data, compiled in.
extern const char kConfigFile[];

#endif
