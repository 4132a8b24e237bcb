#include "sim/sim_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef NETLIB_SIM_MEDIA_DIR
#define NETLIB_SIM_MEDIA_DIR "media"
#endif

namespace netlib_sim {
namespace {

// Unset and empty both mean "keep the default".
bool Get(const char *name, std::string *out) {
    const char *value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return false;
    *out = value;
    return true;
}

bool GetNumber(const char *name, long min, long max, long *out) {
    std::string text;
    if (!Get(name, &text)) return false;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < min || value > max) {
        std::fprintf(stderr, "netlib-sim: ignoring %s=%s\n", name, text.c_str());
        return false;
    }
    *out = value;
    return true;
}

void GetSize(const char *name, PictureSize *size) {
    std::string text;
    if (!Get(name, &text)) return;
    unsigned int width = 0;
    unsigned int height = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%ux%u%c", &width, &height, &extra) != 2 || width == 0 ||
        height == 0) {
        std::fprintf(stderr, "netlib-sim: ignoring %s=%s\n", name, text.c_str());
        return;
    }
    size->width = width;
    size->height = height;
}

// Per-stream clip: the stream's own variable, else NETLIB_SIM_MEDIA, else the
// shipped clip. Here a set but empty value is meaningful: synthetic frames.
std::string MediaFor(const char *streamVariable, const char *shipped) {
    const char *value = std::getenv(streamVariable);
    if (value == nullptr) value = std::getenv("NETLIB_SIM_MEDIA");
    if (value != nullptr) return value;
    return std::string(NETLIB_SIM_MEDIA_DIR) + "/" + shipped;
}

}  // namespace

Config ReadConfig() {
    Config config;
    Get("NETLIB_SIM_USER", &config.user);
    Get("NETLIB_SIM_PASSWORD", &config.password);
    Get("NETLIB_SIM_CAMERA_IP", &config.cameraIp);
    std::string ptz;
    if (Get("NETLIB_SIM_PTZ", &ptz)) config.ptz = ptz[0];
    GetSize("NETLIB_SIM_MAIN_SIZE", &config.mainSize);
    GetSize("NETLIB_SIM_SUB_SIZE", &config.subSize);
    config.media[1] = MediaFor("NETLIB_SIM_MAIN_MEDIA", "testpattern_1280x720.h264");
    config.media[0] = MediaFor("NETLIB_SIM_SUB_MEDIA", "testpattern_640x360.h264");
    long number = 0;
    if (GetNumber("NETLIB_SIM_FPS", 0, 1000, &number)) config.fpsOverride = static_cast<int>(number);
    if (GetNumber("NETLIB_SIM_FRAME_BYTES", kMinFrameBytes, kMaxFrameBytes, &number))
        config.frameBytes = static_cast<unsigned int>(number);
    if (GetNumber("NETLIB_SIM_KEY_FRAME_BYTES", kMinFrameBytes, kMaxFrameBytes, &number))
        config.keyFrameBytes = static_cast<unsigned int>(number);
    if (GetNumber("NETLIB_SIM_KEY_INTERVAL", 1, 100000, &number))
        config.keyIntervalOverride = static_cast<int>(number);
    Get("NETLIB_SIM_ALARM_FIFO", &config.alarmFifo);
    if (GetNumber("NETLIB_SIM_ALARM_INTERVAL_MS", 0, 86400000, &number))
        config.alarmIntervalMs = static_cast<unsigned int>(number);
    config.snapshot = std::string(NETLIB_SIM_MEDIA_DIR) + "/snapshot.jpg";
    Get("NETLIB_SIM_SNAPSHOT", &config.snapshot);
    std::string fail;
    config.snapFail = Get("NETLIB_SIM_SNAP_FAIL", &fail) && fail != "0";
    Get("NETLIB_SIM_JOURNAL", &config.journal);
    Get("NETLIB_SIM_HANDOFF_LOG", &config.handoffLog);
    return config;
}

}  // namespace netlib_sim
