#include "protocol/templates.h"

#include "runtime/bounded_format.h"

#define ENVELOPE_TAIL ",\"version\":1}"

const char kDirectoryRequestText[] = AGENT_ENVELOPE_HEAD "1,\"params\":{\"userName\":\"\"}" ENVELOPE_TAIL;
const char kHeartbeatText[] = AGENT_ENVELOPE_HEAD "0" ENVELOPE_TAIL;
const char kRelayAck10Text[] = AGENT_ENVELOPE_HEAD "10,\"params\":{\"status\":\"1\"}" ENVELOPE_TAIL;
const char kRelayAck12Text[] = AGENT_ENVELOPE_HEAD "12,\"params\":{\"status\":\"1\"}" ENVELOPE_TAIL;
const char kRelayPassword[] = "473920";


int FormatDevLogin(char *buf, size_t size, const char *devId)
{
    return FormatBounded(buf, size,
                         AGENT_ENVELOPE_HEAD "1,\"params\":{\"devId\":\"%s\",\"devType\":\"8\","
                                             "\"devIndexs\":\"1\"}" ENVELOPE_TAIL,
                         devId);
}

int FormatCameraState(char *buf, size_t size, const char *cameraId, const char *active)
{
    return FormatBounded(
        buf, size, AGENT_ENVELOPE_HEAD "4,\"params\":{\"cameraId\":\"%s\",\"active\":\"%s\"}" ENVELOPE_TAIL,
        cameraId, active);
}

int FormatLogicRefusal(char *buf, size_t size, const char *msgId, const char *socketId, const char *msgType,
                       const char *cameraId)
{
    return FormatBounded(buf, size,
                         AGENT_ENVELOPE_HEAD "16,\"params\":{\"msgId\":\"%s\",\"socketId\":\"%s\","
                                             "\"msgType\":\"%s\",\"status\":\"0\",\"cameraId\":\"%s\","
                                             "\"errorMsg\":\"device not support\"}" ENVELOPE_TAIL,
                         msgId, socketId, msgType, cameraId);
}

int FormatAlarmReport(char *buf, size_t size, const char *userId, const char *nodeId, const char *cameraId,
                      const char *msg, const char *picture, const char *nodeName, const char *cameraName)
{
    return FormatBounded(buf, size,
                         AGENT_ENVELOPE_HEAD "14,\"params\":{\"userId\":\"%s\",\"nodeId\":\"%s\","
                                             "\"cameraId\":\"%s\",\"kind\":\"1\",\"msg\":\"%s\","
                                             "\"picture\":\"%s\",\"nodeName\":\"%s\","
                                             "\"cameraName\":\"%s\",\"remark\":\"\"}" ENVELOPE_TAIL,
                         userId, nodeId, cameraId, msg, picture, nodeName, cameraName);
}

int FormatRelayLogin(char *buf, size_t size, const char *sxtId, const char *password)
{
    return FormatBounded(buf, size,
                         AGENT_ENVELOPE_HEAD "1,\"params\":{\"SxtId\":\"%s\",\"PWD\":\"%s\"}" ENVELOPE_TAIL,
                         sxtId, password);
}

int FormatRelayStatus(char *buf, size_t size, int enableQP, int viedoQP, int ptz, int audio, int setTime,
                      int speak)
{
    return FormatBounded(buf, size,
                         AGENT_ENVELOPE_HEAD "17,\"params\":{\"status\":\"1\",\"EnableQP\":\"%d\","
                                             "\"ViedoQP\":\"%d\",\"PTZ\":\"%d\",\"Audio\":\"%d\","
                                             "\"AudioType\":\"2\",\"SetTime\":\"%d\","
                                             "\"Speak\":\"%d\"}" ENVELOPE_TAIL,
                         enableQP, viedoQP, ptz, audio, setTime, speak);
}

int FormatVideoQualityAck(char *buf, size_t size, const char *level)
{
    return FormatBounded(buf, size, AGENT_ENVELOPE_HEAD "16,\"params\":{\"ViedoQP\":\"%s\"}" ENVELOPE_TAIL,
                         level);
}
