// Settings of the simulated camera, read from NETLIB_SIM_* environment
// variables. One snapshot is taken at each HI_NET_DEV_Init and shared,
// immutable, by everything that started after it.
#ifndef SIM_SIM_CONFIG_H
#define SIM_SIM_CONFIG_H

#include <string>

namespace netlib_sim {

struct PictureSize {
    unsigned int width;
    unsigned int height;
};

struct Config {
    std::string user = "admin";
    std::string password = "admin";
    std::string cameraIp = "192.0.2.10";
    char ptz = '0';
    PictureSize mainSize{1280, 720};
    PictureSize subSize{640, 360};
    // Clip per stream (index 1 main, 0 sub); empty means synthetic frames.
    std::string media[2];
    // Negative: take the frame rate from SetConfig 4100 (or the default).
    // 0: no pacing. Positive: this rate whatever the agent asks for.
    int fpsOverride = -1;
    unsigned int frameBytes = 4096;
    // Synthetic key frames: 0 means the same size as the other frames.
    unsigned int keyFrameBytes = 0;
    // Positive: a key frame every so many frames, whatever SetConfig 4100 asked.
    int keyIntervalOverride = 0;
    std::string alarmFifo;
    unsigned int alarmIntervalMs = 0;
    std::string snapshot;
    bool snapFail = false;
    std::string journal;
    std::string handoffLog;
};

const int kDefaultFrameRate = 25;
const int kDefaultKeyInterval = 50;
const unsigned int kMinFrameBytes = 12;  // frame counter + handoff time
const unsigned int kMaxFrameBytes = 4u << 20;

// Reads the environment; values that do not parse keep their defaults.
Config ReadConfig();

}  // namespace netlib_sim

#endif
