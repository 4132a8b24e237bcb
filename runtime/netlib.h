/* The camera vendor's network SDK (libNetLib.so), as this agent uses it.
 * Every call but HI_NET_DEV_Init takes the login handle first; 0 means
 * success. Callbacks run on the SDK's own threads and return 0. */
#ifndef RUNTIME_NETLIB_H
#define RUNTIME_NETLIB_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*NetLibCallback)(unsigned int handle, unsigned int dataType, unsigned char *data,
                              unsigned int length, void *userData);

int HI_NET_DEV_Init(void);
int HI_NET_DEV_Login(unsigned int *handle, const char *user, const char *password, const char *host,
                     unsigned short port);
int HI_NET_DEV_Logout(unsigned int handle);
int HI_NET_DEV_GetConfig(unsigned int handle, unsigned int command, void *buffer, unsigned int size);
int HI_NET_DEV_SetConfig(unsigned int handle, unsigned int command, void *buffer, unsigned int size);
int HI_NET_DEV_SetReconnect(unsigned int handle, unsigned int intervalMs);
int HI_NET_DEV_SetDataCallBack(unsigned int handle, NetLibCallback cb, void *userData);
int HI_NET_DEV_SetEventCallBack(unsigned int handle, NetLibCallback cb, void *userData);
int HI_NET_DEV_SetStreamCallBack(unsigned int handle, NetLibCallback cb, void *userData);
int HI_NET_DEV_StartStream(unsigned int handle, void *startRecord); /* 16-byte record */
int HI_NET_DEV_StopStream(unsigned int handle);
int HI_NET_DEV_MakeKeyFrame(unsigned int handle, unsigned int stream);
int HI_NET_DEV_PTZ_Ctrl_StandardEx(unsigned int handle, unsigned int code);
int HI_NET_DEV_SnapJpeg(unsigned int handle, unsigned char *buffer, int capacity, int *size);

#ifdef __cplusplus
}
#endif

#endif
