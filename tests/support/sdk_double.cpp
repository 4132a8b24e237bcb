#include "tests/support/sdk_double.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

#include "runtime/sdk_records.h"

namespace sdk_double {
namespace {
std::mutex g_Lock;
Settings g_Settings;
std::vector<std::string> g_Journal;
NetLibCallback g_StreamCb = nullptr;
void *g_StreamUser = nullptr;
NetLibCallback g_DataCb = nullptr;
void *g_DataUser = nullptr;
NetLibCallback g_EventCb = nullptr;

void Record(const std::string &line)
{
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Journal.push_back(line);
}
}  // namespace

void Reset(const Settings &settings)
{
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Settings = settings;
    g_Journal.clear();
    g_StreamCb = nullptr;
    g_StreamUser = nullptr;
    g_DataCb = nullptr;
    g_DataUser = nullptr;
    g_EventCb = nullptr;
}

Settings &Current() { return g_Settings; }

std::vector<std::string> Journal()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_Journal;
}

std::vector<std::string> JournalMatching(const std::string &prefix)
{
    std::lock_guard<std::mutex> guard(g_Lock);
    std::vector<std::string> out;
    for (const std::string &line : g_Journal)
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}

void ClearJournal()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Journal.clear();
}

NetLibCallback StreamCallback()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_StreamCb;
}
void *StreamUserData()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_StreamUser;
}
NetLibCallback DataCallback()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_DataCb;
}
void *DataUserData()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_DataUser;
}
NetLibCallback EventCallback()
{
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_EventCb;
}

}  // namespace sdk_double

using namespace sdk_double;

extern "C" {

int HI_NET_DEV_Init(void)
{
    Record("Init");
    return 0;
}

int HI_NET_DEV_Login(unsigned int *handle, const char *user, const char *password, const char *host,
                     unsigned short port)
{
    Record(std::string("Login ") + user + " " + password + " " + host + " " + std::to_string(port));
    *handle = g_Settings.handle;
    return g_Settings.loginResult;
}

int HI_NET_DEV_Logout(unsigned int handle)
{
    Record("Logout " + std::to_string(handle));
    return 0;
}

int HI_NET_DEV_GetConfig(unsigned int, unsigned int command, void *buffer, unsigned int size)
{
    Record("GetConfig " + std::to_string(command) + " " + std::to_string(size));
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    if (command == kSdkConfigDeviceAddress)
        strncpy(reinterpret_cast<char *>(bytes), g_Settings.deviceAddress.c_str(), size - 1);
    else if (command == kSdkConfigDeviceInfo && size > kSdkDeviceInfoPtzByte)
        bytes[kSdkDeviceInfoPtzByte] = static_cast<unsigned char>(g_Settings.ptzByte);
    return 0;
}

int HI_NET_DEV_SetConfig(unsigned int, unsigned int command, void *buffer, unsigned int size)
{
    std::string line = "SetConfig " + std::to_string(command) + " ";
    if (command == kSdkConfigVideo && size == sizeof(VideoSettings)) {
        const VideoSettings *v = static_cast<const VideoSettings *>(buffer);
        char text[128];
        snprintf(text, sizeof(text), "%d,%d,%d,%d,%d,%d,%d", v->channel, v->stream, v->bitRate,
                 v->frameRate, v->keyFrameInterval, v->constantBitRate, v->imageQuality);
        line += text;
    } else if (command == kSdkConfigDeviceTime && size == sizeof(DeviceTimeRecord)) {
        const DeviceTimeRecord *t = static_cast<const DeviceTimeRecord *>(buffer);
        line += std::string(t->text, strnlen(t->text, sizeof(t->text)));
    } else {
        line += "size=" + std::to_string(size);
    }
    Record(line);
    if (g_Settings.onSetConfig)
        g_Settings.onSetConfig(command);
    return 0;
}

int HI_NET_DEV_SetReconnect(unsigned int, unsigned int intervalMs)
{
    Record("SetReconnect " + std::to_string(intervalMs));
    return 0;
}

int HI_NET_DEV_SetDataCallBack(unsigned int, NetLibCallback cb, void *userData)
{
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        g_DataCb = cb;
        g_DataUser = userData;
    }
    Record("SetDataCallBack");
    return 0;
}

int HI_NET_DEV_SetEventCallBack(unsigned int, NetLibCallback cb, void *)
{
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        g_EventCb = cb;
    }
    Record("SetEventCallBack");
    return 0;
}

int HI_NET_DEV_SetStreamCallBack(unsigned int, NetLibCallback cb, void *userData)
{
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        g_StreamCb = cb;
        g_StreamUser = userData;
    }
    Record("SetStreamCallBack");
    return 0;
}

int HI_NET_DEV_StartStream(unsigned int, void *startRecord)
{
    const StreamStartRecord *r = static_cast<const StreamStartRecord *>(startRecord);
    char text[128];
    snprintf(text, sizeof(text), "StartStream channel=%u stream=%u mode=%u mask=%u", r->channel,
             r->stream, r->mode, static_cast<unsigned>(r->mask));
    Record(text);
    return g_Settings.startStreamResult;
}

int HI_NET_DEV_StopStream(unsigned int)
{
    Record("StopStream");
    return 0;
}

int HI_NET_DEV_MakeKeyFrame(unsigned int, unsigned int stream)
{
    Record("MakeKeyFrame " + std::to_string(stream));
    return 0;
}

int HI_NET_DEV_PTZ_Ctrl_StandardEx(unsigned int, unsigned int code)
{
    Record("PTZ " + std::to_string(code));
    if (g_Settings.onPtz)
        g_Settings.onPtz(code);
    return 0;
}

int HI_NET_DEV_SnapJpeg(unsigned int, unsigned char *buffer, int capacity, int *size)
{
    Record("SnapJpeg " + std::to_string(capacity));
    if (g_Settings.snapResult != 0)
        return g_Settings.snapResult;
    if (static_cast<int>(g_Settings.jpeg.size()) > capacity)
        return -1;
    memcpy(buffer, g_Settings.jpeg.data(), g_Settings.jpeg.size());
    *size = static_cast<int>(g_Settings.jpeg.size());
    return 0;
}

}  // extern "C"
