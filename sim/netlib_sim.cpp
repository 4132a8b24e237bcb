// The simulated camera SDK: every call of runtime/netlib.h, with the camera
// it pretends to be described by a Config (see README.md).
//
// Locks: g.lock guards the session table and the camera settings; each
// session's lock guards its callbacks and its running stream. Both are held
// only for a few assignments. No callback is ever made while holding either,
// and a stream or alarm thread is joined only after its run has been taken
// out of the session, so a callback may call any function of this library,
// StopStream and StartStream included.
// Only the SDK calls leave the library; this comes first so that no other
// header declares them before the visibility is set.
#pragma GCC visibility push(default)
#include "runtime/netlib.h"
#pragma GCC visibility pop

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/sdk_records.h"
#include "sim/alarm_source.h"
#include "sim/h264_clip.h"
#include "sim/sim_config.h"
#include "sim/stream_run.h"

namespace netlib_sim {
namespace {

struct Session {
    const unsigned int handle;
    explicit Session(unsigned int h) : handle(h) {}

    std::mutex lock;
    bool loggedOut = false;
    NetLibCallback dataCallback = nullptr;
    void *dataUser = nullptr;
    NetLibCallback eventCallback = nullptr;
    void *eventUser = nullptr;
    NetLibCallback streamCallback = nullptr;
    void *streamUser = nullptr;
    unsigned int reconnectMs = 0;
    std::shared_ptr<StreamRun> run;
    // Runs taken out and still being stopped, so that a StopStream racing
    // another one also returns only after the last callback.
    int stopping = 0;
    std::condition_variable stopped;
};

struct EncoderSettings {
    int frameRate = kDefaultFrameRate;
    int keyInterval = kDefaultKeyInterval;
};

struct Sim {
    std::mutex lock;
    std::shared_ptr<const Config> config;
    std::map<unsigned int, std::shared_ptr<Session>> sessions;
    unsigned int nextHandle = 0x1001;
    EncoderSettings encoder[2];  // 1 main, 0 sub

    std::mutex initLock;  // one Init at a time; orders alarm source changes
    std::shared_ptr<AlarmSource> alarms;

    std::mutex journalLock;

    // Read by stream threads without a lock.
    std::atomic<bool> keyRequest[2] = {{false}, {false}};
    std::atomic<uint32_t> frameCounter{0};
};

// Never destroyed: stream and alarm threads may still run while the process
// exits, and must not find the library's state gone.
Sim &g = *new Sim;

void Init();

std::shared_ptr<const Config> CurrentConfig() {
    {
        std::lock_guard<std::mutex> hold(g.lock);
        if (g.config) return g.config;
    }
    Init();  // used without HI_NET_DEV_Init: behave as if it had been called
    std::lock_guard<std::mutex> hold(g.lock);
    return g.config;
}

void Note(const std::string &line) {
    std::shared_ptr<const Config> config = CurrentConfig();
    if (config->journal.empty()) return;
    std::string text = line + "\n";
    std::lock_guard<std::mutex> hold(g.journalLock);
    int fd = open(config->journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

std::string Text(const char *value) { return value != nullptr ? value : "(null)"; }

std::shared_ptr<Session> Find(unsigned int handle) {
    std::lock_guard<std::mutex> hold(g.lock);
    auto found = g.sessions.find(handle);
    return found != g.sessions.end() ? found->second : nullptr;
}

void RaiseAlarm(int type, const std::string &line) {
    if (type < 0) {
        Note("Alarm ignored " + line);
        return;
    }
    Note("Alarm " + line);
    struct Target {
        NetLibCallback callback;
        void *user;
        unsigned int handle;
    };
    std::vector<Target> targets;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        for (auto &entry : g.sessions) {
            std::lock_guard<std::mutex> holdSession(entry.second->lock);
            if (entry.second->dataCallback != nullptr)
                targets.push_back({entry.second->dataCallback, entry.second->dataUser, entry.first});
        }
    }
    // Alarm record: type, channel 1, then zeros.
    unsigned char record[16] = {};
    record[0] = static_cast<unsigned char>(type);
    record[4] = 1;
    for (const Target &target : targets)
        target.callback(target.handle, static_cast<unsigned int>(type), record, sizeof record, target.user);
}

void Init() {
    std::lock_guard<std::mutex> serial(g.initLock);
    auto config = std::make_shared<const Config>(ReadConfig());
    std::shared_ptr<AlarmSource> old;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.config = config;
        g.encoder[0] = EncoderSettings();
        g.encoder[1] = EncoderSettings();
        g.keyRequest[0] = false;
        g.keyRequest[1] = false;
        old = std::move(g.alarms);
    }
    if (old) old->Stop();
    std::shared_ptr<AlarmSource> alarms;
    if (!config->alarmFifo.empty() || config->alarmIntervalMs > 0) {
        alarms = std::make_shared<AlarmSource>(config->alarmFifo, config->alarmIntervalMs, RaiseAlarm);
        if (!alarms->Start()) alarms.reset();
    }
    std::lock_guard<std::mutex> hold(g.lock);
    g.alarms = std::move(alarms);
}

// Stops whatever stream the session runs. Unless called from a stream
// thread, returns only when no callback of any run taken out of this
// session, by this caller, a concurrent one or the run's own callback, can
// still be running.
void StopSessionStream(const std::shared_ptr<Session> &session, bool logout) {
    std::shared_ptr<StreamRun> run;
    {
        std::lock_guard<std::mutex> hold(session->lock);
        if (logout) session->loggedOut = true;
        run = std::move(session->run);
        if (run) ++session->stopping;
    }
    if (run) {
        run->Stop([session] {
            std::lock_guard<std::mutex> hold(session->lock);
            --session->stopping;
            session->stopped.notify_all();
        });
    }
    if (StreamRun::OnStreamThread()) return;  // waiting could mean waiting for ourselves
    std::unique_lock<std::mutex> hold(session->lock);
    session->stopped.wait(hold, [&session] { return session->stopping == 0; });
}

bool Decode(const void *startRecord, StreamStartRecord *record) {
    if (startRecord == nullptr) return false;
    std::memcpy(record, startRecord, sizeof *record);
    return true;
}

}  // namespace
}  // namespace netlib_sim

using namespace netlib_sim;

int HI_NET_DEV_Init(void) {
    Init();
    Note("Init");
    return 0;
}

int HI_NET_DEV_Login(unsigned int *handle, const char *user, const char *password, const char *host,
                     unsigned short port) {
    std::shared_ptr<const Config> config = CurrentConfig();
    Note("Login " + Text(user) + " " + Text(host) + " " + std::to_string(port));
    if (handle == nullptr || user == nullptr || password == nullptr) return -1;
    if (config->user != user || config->password != password) return -1;
    std::lock_guard<std::mutex> hold(g.lock);
    unsigned int assigned = g.nextHandle++;
    if (g.nextHandle == 0) g.nextHandle = 0x1001;
    g.sessions[assigned] = std::make_shared<Session>(assigned);
    *handle = assigned;
    return 0;
}

int HI_NET_DEV_Logout(unsigned int handle) {
    Note("Logout");
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        auto found = g.sessions.find(handle);
        if (found == g.sessions.end()) return -1;
        session = found->second;
        g.sessions.erase(found);
    }
    StopSessionStream(session, true);
    return 0;
}

int HI_NET_DEV_GetConfig(unsigned int handle, unsigned int command, void *buffer, unsigned int size) {
    Note("GetConfig " + std::to_string(command) + " " + std::to_string(size));
    if (!Find(handle) || buffer == nullptr) return -1;
    std::shared_ptr<const Config> config = CurrentConfig();
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    if (command == kSdkConfigDeviceAddress && size >= kSdkDeviceAddressSize) {
        std::memset(bytes, 0, kSdkDeviceAddressSize);
        std::strncpy(reinterpret_cast<char *>(bytes), config->cameraIp.c_str(), kSdkDeviceAddressSize - 1);
        return 0;
    }
    if (command == kSdkConfigDeviceInfo && size >= kSdkDeviceInfoSize) {
        std::memset(bytes, 0, kSdkDeviceInfoSize);
        bytes[kSdkDeviceInfoPtzByte] = static_cast<unsigned char>(config->ptz);
        return 0;
    }
    return -1;
}

int HI_NET_DEV_SetConfig(unsigned int handle, unsigned int command, void *buffer, unsigned int size) {
    if (command == kSdkConfigVideo && buffer != nullptr && size >= sizeof(VideoSettings)) {
        VideoSettings video;
        std::memcpy(&video, buffer, sizeof video);
        char line[160];
        std::snprintf(line, sizeof line, "SetConfig %u %d,%d,%d,%d,%d,%d,%d", command, video.channel,
                      video.stream, video.bitRate, video.frameRate, video.keyFrameInterval,
                      video.constantBitRate, video.imageQuality);
        Note(line);
        if (!Find(handle) || (video.stream != 0 && video.stream != 1)) return -1;
        std::lock_guard<std::mutex> hold(g.lock);
        EncoderSettings &encoder = g.encoder[video.stream];
        if (video.frameRate > 0) encoder.frameRate = video.frameRate;
        if (video.keyFrameInterval > 0) encoder.keyInterval = video.keyFrameInterval;
        return 0;
    }
    if (command == kSdkConfigDeviceTime && buffer != nullptr && size > 0) {
        const char *text = static_cast<const char *>(buffer);
        size_t limit = size < sizeof(DeviceTimeRecord) ? size : sizeof(DeviceTimeRecord);
        Note("SetConfig " + std::to_string(command) + " " + std::string(text, strnlen(text, limit)));
        return Find(handle) ? 0 : -1;
    }
    Note("SetConfig " + std::to_string(command) + " size=" + std::to_string(size));
    return -1;
}

int HI_NET_DEV_SetReconnect(unsigned int handle, unsigned int intervalMs) {
    Note("SetReconnect " + std::to_string(intervalMs));
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return -1;
    std::lock_guard<std::mutex> hold(session->lock);
    session->reconnectMs = intervalMs;  // nothing here ever drops the link
    return 0;
}

int HI_NET_DEV_SetDataCallBack(unsigned int handle, NetLibCallback cb, void *userData) {
    Note("SetDataCallBack");
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return -1;
    std::lock_guard<std::mutex> hold(session->lock);
    session->dataCallback = cb;
    session->dataUser = userData;
    return 0;
}

int HI_NET_DEV_SetEventCallBack(unsigned int handle, NetLibCallback cb, void *userData) {
    Note("SetEventCallBack");
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return -1;
    std::lock_guard<std::mutex> hold(session->lock);
    session->eventCallback = cb;  // the simulated link never changes state
    session->eventUser = userData;
    return 0;
}

int HI_NET_DEV_SetStreamCallBack(unsigned int handle, NetLibCallback cb, void *userData) {
    Note("SetStreamCallBack");
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return -1;
    std::lock_guard<std::mutex> hold(session->lock);
    session->streamCallback = cb;
    session->streamUser = userData;
    return 0;
}

int HI_NET_DEV_StartStream(unsigned int handle, void *startRecord) {
    StreamStartRecord record;
    if (!Decode(startRecord, &record)) {
        Note("StartStream (null)");
        return -1;
    }
    char line[96];
    std::snprintf(line, sizeof line, "StartStream channel=%u stream=%u mode=%u mask=%u", record.channel,
                  record.stream, record.mode, static_cast<unsigned int>(record.mask));
    Note(line);
    std::shared_ptr<Session> session = Find(handle);
    if (!session || record.channel != 1 || record.stream > 1) return -1;

    std::shared_ptr<const Config> config = CurrentConfig();
    StreamSetup setup;
    setup.handle = handle;
    setup.stream = record.stream;
    setup.size = record.stream == 1 ? config->mainSize : config->subSize;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        setup.frameRate = g.encoder[record.stream].frameRate;
        setup.keyInterval = g.encoder[record.stream].keyInterval;
    }
    if (config->fpsOverride >= 0) setup.frameRate = config->fpsOverride;
    if (config->keyIntervalOverride > 0) setup.keyInterval = config->keyIntervalOverride;
    const std::string &media = config->media[record.stream];
    if (!media.empty()) {
        std::string error;
        setup.clip = LoadClip(media, &error);
        if (!setup.clip) std::fprintf(stderr, "netlib-sim: %s; sending synthetic frames\n", error.c_str());
    }
    setup.frameBytes = config->frameBytes;
    setup.keyFrameBytes = config->keyFrameBytes;
    setup.handoffLog = config->handoffLog;
    setup.keyRequest = &g.keyRequest[record.stream];
    setup.frameCounter = &g.frameCounter;

    // A stream already running is replaced; the old one is stopped first so
    // that the two never deliver at the same time.
    StopSessionStream(session, false);
    std::lock_guard<std::mutex> hold(session->lock);
    if (session->loggedOut || session->streamCallback == nullptr || session->run) return -1;
    setup.callback = session->streamCallback;
    setup.userData = session->streamUser;
    session->run = std::make_shared<StreamRun>(std::move(setup));
    session->run->Start();
    return 0;
}

int HI_NET_DEV_StopStream(unsigned int handle) {
    Note("StopStream");
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return -1;
    StopSessionStream(session, false);
    return 0;
}

int HI_NET_DEV_MakeKeyFrame(unsigned int handle, unsigned int stream) {
    Note("MakeKeyFrame " + std::to_string(stream));
    if (!Find(handle)) return -1;
    if (stream == kSdkMainStream)
        g.keyRequest[1] = true;
    else if (stream == kSdkSubStream)
        g.keyRequest[0] = true;
    else
        return -1;
    return 0;
}

int HI_NET_DEV_PTZ_Ctrl_StandardEx(unsigned int handle, unsigned int code) {
    Note("PTZ_Ctrl_StandardEx " + std::to_string(code));
    return Find(handle) ? 0 : -1;
}

int HI_NET_DEV_SnapJpeg(unsigned int handle, unsigned char *buffer, int capacity, int *size) {
    Note("SnapJpeg " + std::to_string(capacity));
    if (size != nullptr) *size = 0;
    if (!Find(handle) || buffer == nullptr || size == nullptr || capacity <= 0) return -1;
    std::shared_ptr<const Config> config = CurrentConfig();
    if (config->snapFail) return -1;
    std::FILE *file = std::fopen(config->snapshot.c_str(), "rb");
    if (file == nullptr) return -1;
    // One byte more than the capacity tells "does not fit" from "fits exactly".
    size_t got = std::fread(buffer, 1, static_cast<size_t>(capacity), file);
    bool more = std::fgetc(file) != EOF;
    std::fclose(file);
    if (more || got == 0) return -1;
    *size = static_cast<int>(got);
    return 0;
}
