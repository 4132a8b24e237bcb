#ifndef LOGIC_ALARM_REPORT_H
#define LOGIC_ALARM_REPORT_H

// SDK data callback: motion (type 0) and alarm input (type 1) alarms go to
// the CServerLogic given as user data. Returns 0.
int AlarmDataCallback(unsigned int handle, unsigned int dataType, unsigned char *data, unsigned int length,
                      void *userData);
// SDK event callback: nothing to do. Returns 0.
int AlarmEventCallback(unsigned int handle, unsigned int dataType, unsigned char *data,
                       unsigned int length, void *userData);

#endif
