// One started stream of the simulated camera: a thread that hands the
// stream information block, then paced frames, to the stream callback until
// it is stopped. Each StartStream makes a new run; a run is never restarted.
#ifndef SIM_STREAM_RUN_H
#define SIM_STREAM_RUN_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/netlib.h"
#include "sim/h264_clip.h"
#include "sim/sim_config.h"

namespace netlib_sim {

struct StreamSetup {
    unsigned int handle = 0;
    NetLibCallback callback = nullptr;
    void *userData = nullptr;
    unsigned int stream = 0;  // 1 main, 0 sub
    PictureSize size{0, 0};
    int frameRate = kDefaultFrameRate;  // 0: no pacing
    int keyInterval = kDefaultKeyInterval;  // synthetic frames only
    std::shared_ptr<const Clip> clip;  // null: synthetic frames
    unsigned int frameBytes = 4096;    // synthetic payload size
    unsigned int keyFrameBytes = 0;    // synthetic key frames; 0: frameBytes
    std::string handoffLog;
    // Shared with the rest of the library, which outlives every run.
    std::atomic<bool> *keyRequest = nullptr;
    std::atomic<uint32_t> *frameCounter = nullptr;
};

class StreamRun : public std::enable_shared_from_this<StreamRun> {
public:
    explicit StreamRun(StreamSetup setup);
    StreamRun(const StreamRun &) = delete;
    StreamRun &operator=(const StreamRun &) = delete;

    void Start();
    // Ends the run and calls `done` once no callback of it can run any
    // more: before returning, normally; called on the run's own thread
    // (from inside its callback) it cannot wait for itself, so it returns at
    // once and `done` runs on that thread as it ends, after the callback.
    void Stop(std::function<void()> done);

    // True on any stream thread of this library.
    static bool OnStreamThread();

private:
    void Main();
    void Produce();
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);
    bool WaitForFrame(std::chrono::steady_clock::time_point &due, std::chrono::steady_clock::duration interval);
    uint32_t NextFrame(unsigned char *payload, size_t &unitIndex, uint64_t frameNumber, bool &key);
    void Deliver(unsigned int dataType, unsigned char *data, unsigned int length);

    const StreamSetup m_setup;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::function<void()> m_doneAfterDetach;  // touched only on the run's thread
};

}  // namespace netlib_sim

#endif
