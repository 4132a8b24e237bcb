#include "sim/stream_run.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/sdk_records.h"

namespace netlib_sim {
namespace {

thread_local bool t_onStreamThread = false;

const uint32_t kOtherFrameType = 2;
const size_t kHandoffFlushBytes = 16384;
const std::chrono::seconds kHandoffFlushAge(1);

void PutWord(unsigned char *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void PutLong(unsigned char *at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t MonotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// "seq monotonic_us length" lines, written in batches so the log costs the
// stream thread little; whatever is pending is written when the run ends.
class HandoffLog {
public:
    explicit HandoffLog(const std::string &path) {
        if (path.empty()) return;
        m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (m_fd < 0) std::fprintf(stderr, "netlib-sim: cannot open handoff log %s\n", path.c_str());
        m_lastFlush = std::chrono::steady_clock::now();
    }
    ~HandoffLog() {
        Flush();
        if (m_fd >= 0) close(m_fd);
    }
    void Add(uint32_t seq, uint64_t micros, uint32_t length) {
        if (m_fd < 0) return;
        char line[64];
        int n = std::snprintf(line, sizeof line, "%u %llu %u\n", seq,
                              static_cast<unsigned long long>(micros), length);
        m_pending.append(line, static_cast<size_t>(n));
        auto now = std::chrono::steady_clock::now();
        if (m_pending.size() >= kHandoffFlushBytes || now - m_lastFlush >= kHandoffFlushAge) {
            Flush();
            m_lastFlush = now;
        }
    }

private:
    void Flush() {
        size_t done = 0;
        while (m_fd >= 0 && done < m_pending.size()) {
            ssize_t n = write(m_fd, m_pending.data() + done, m_pending.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        m_pending.clear();
    }

    int m_fd = -1;
    std::string m_pending;
    std::chrono::steady_clock::time_point m_lastFlush;
};

}  // namespace

StreamRun::StreamRun(StreamSetup setup) : m_setup(std::move(setup)) {}

void StreamRun::Start() {
    // The thread keeps its run alive, so a run stopped from its own
    // callback can be let go by everyone else.
    std::shared_ptr<StreamRun> self = shared_from_this();
    m_thread = std::thread([self] { self->Main(); });
}

void StreamRun::Stop(std::function<void()> done) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
        m_doneAfterDetach = std::move(done);
        m_thread.detach();
        return;
    }
    if (m_thread.joinable()) m_thread.join();
    done();
}

bool StreamRun::OnStreamThread() { return t_onStreamThread; }

bool StreamRun::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(m_lock);
    return !m_wake.wait_until(hold, deadline, [this] { return m_stop.load(); });
}

void StreamRun::Deliver(unsigned int dataType, unsigned char *data, unsigned int length) {
    m_setup.callback(m_setup.handle, dataType, data, length, m_setup.userData);
}

void StreamRun::Main() {
    // The SDK's own threads carry its prefix, so that measurements of the
    // agent can leave them out.
    prctl(PR_SET_NAME, "netlib-stream", 0, 0, 0);
    t_onStreamThread = true;
    Produce();
    if (m_doneAfterDetach) m_doneAfterDetach();
}

// Waits for the next frame's time; false when the run is stopped.
bool StreamRun::WaitForFrame(std::chrono::steady_clock::time_point &due,
                             std::chrono::steady_clock::duration interval) {
    if (m_setup.frameRate <= 0) return !m_stop;
    if (!WaitUntil(due)) return false;
    due += interval;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (due < now) due = now;  // fell behind: no burst to catch up
    return true;
}

// Puts the next frame's payload in place (the clip's next access unit, or
// the synthetic filler as it is) and returns its length and whether it is a
// key frame.
uint32_t StreamRun::NextFrame(unsigned char *payload, size_t &unitIndex, uint64_t frameNumber, bool &key) {
    bool keyWanted = m_setup.keyRequest->exchange(false);
    const Clip *clip = m_setup.clip.get();
    if (clip == nullptr) {
        key = keyWanted || frameNumber % static_cast<uint64_t>(m_setup.keyInterval) == 0;
        return key && m_setup.keyFrameBytes != 0 ? m_setup.keyFrameBytes : m_setup.frameBytes;
    }
    // A key frame request skips ahead to the next IDR, which brings its
    // parameter sets, so the picture stays decodable.
    if (keyWanted) unitIndex = clip->NextKey(unitIndex);
    const AccessUnit &unit = clip->units[unitIndex];
    unitIndex = (unitIndex + 1) % clip->units.size();
    std::memcpy(payload, clip->bytes.data() + unit.offset, unit.size);
    key = unit.key;
    return static_cast<uint32_t>(unit.size);
}

void StreamRun::Produce() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();

    // Stream information: selector, width, height, frame rate.
    unsigned char info[16];
    PutWord(info, m_setup.stream);
    PutWord(info + 4, m_setup.size.width);
    PutWord(info + 8, m_setup.size.height);
    PutWord(info + 12, static_cast<uint32_t>(m_setup.frameRate));
    if (m_stop) return;
    Deliver(kSdkStreamInfo, info, sizeof info);

    const Clip *clip = m_setup.clip.get();
    size_t payloadRoom = clip != nullptr ? clip->largestUnit : std::max(m_setup.frameBytes, m_setup.keyFrameBytes);
    std::vector<unsigned char> frame(kSdkFrameHeaderSize + payloadRoom);
    unsigned char *payload = frame.data() + kSdkFrameHeaderSize;
    if (clip == nullptr)  // filler that stays the same from frame to frame
        for (size_t i = 0; i < payloadRoom; ++i) payload[i] = static_cast<unsigned char>(i);

    HandoffLog handoff(m_setup.handoffLog);
    const Clock::duration interval =
        m_setup.frameRate > 0 ? Clock::duration(std::chrono::microseconds(1000000 / m_setup.frameRate))
                              : Clock::duration::zero();
    Clock::time_point due = start + interval;
    size_t unitIndex = clip != nullptr ? clip->NextKey(0) : 0;
    uint64_t frameNumber = 0;

    for (;;) {
        if (!WaitForFrame(due, interval)) break;
        bool key = false;
        uint32_t length = NextFrame(payload, unitIndex, frameNumber, key);
        ++frameNumber;
        uint32_t seq = m_setup.frameCounter->fetch_add(1) + 1;

        PutWord(frame.data(), kSdkFrameMagic);
        PutWord(frame.data() + 4, length);
        PutWord(frame.data() + 12, key ? kSdkKeyFrameType : kOtherFrameType);
        auto sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        PutWord(frame.data() + 8, static_cast<uint32_t>(sinceStart.count()));
        uint64_t handoffTime = MonotonicMicros();
        if (clip == nullptr) {
            PutWord(payload, seq);
            PutLong(payload + 4, handoffTime);
        }
        Deliver(kSdkStreamFrame, frame.data(), static_cast<unsigned int>(kSdkFrameHeaderSize + length));
        handoff.Add(seq, handoffTime, length);
    }
}

}  // namespace netlib_sim
