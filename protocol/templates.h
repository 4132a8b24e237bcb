#ifndef PROTOCOL_TEMPLATES_H
#define PROTOCOL_TEMPLATES_H

#include <stddef.h>

// Every message the agent sends, built from its fixed template. Values are
// inserted byte for byte, without escaping. Each Format function clears the
// whole buffer, writes the text and returns its length; when the text and
// its terminating zero would not fit, it leaves the buffer cleared and
// returns -1, so nothing is ever cut or written past the buffer.

#define AGENT_ENVELOPE_HEAD "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":"

// Sent unchanged.
extern const char kDirectoryRequestText[];
extern const char kHeartbeatText[];
extern const char kRelayAck10Text[];
extern const char kRelayAck12Text[];
// The relay login password, the same for every camera.
extern const char kRelayPassword[];

// Directory and logic links.
int FormatDevLogin(char *buf, size_t size, const char *devId);
int FormatCameraState(char *buf, size_t size, const char *cameraId, const char *active);
int FormatLogicRefusal(char *buf, size_t size, const char *msgId, const char *socketId, const char *msgType,
                       const char *cameraId);
int FormatAlarmReport(char *buf, size_t size, const char *userId, const char *nodeId, const char *cameraId,
                      const char *msg, const char *picture, const char *nodeName, const char *cameraName);

// Relay link.
int FormatRelayLogin(char *buf, size_t size, const char *sxtId, const char *password);
int FormatRelayStatus(char *buf, size_t size, int enableQP, int viedoQP, int ptz, int audio, int setTime,
                      int speak);
int FormatVideoQualityAck(char *buf, size_t size, const char *level);

#endif
