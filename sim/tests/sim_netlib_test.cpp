// The simulated camera SDK through its C interface, as the agent sees it.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/netlib.h"
#include "runtime/sdk_records.h"
#include "sim/sim_config.h"

namespace {

using Bytes = std::vector<unsigned char>;
const auto kPatience = std::chrono::seconds(5);

uint32_t Word(const unsigned char *at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint64_t MonotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + now.tv_nsec / 1000u;
}

Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Everything a callback delivered, for the test thread to wait on.
struct Recorder {
    struct Event {
        unsigned int type;
        Bytes data;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
    std::atomic<bool> closed{false};  // set when no callback may come any more
    std::atomic<int> late{0};
    std::function<void(Recorder &, size_t)> onEvent;  // called with the event count, no lock held

    static int Callback(unsigned int, unsigned int type, unsigned char *data, unsigned int length,
                        void *user) {
        Recorder &self = *static_cast<Recorder *>(user);
        if (self.closed) ++self.late;
        size_t count;
        {
            std::lock_guard<std::mutex> hold(self.lock);
            self.events.push_back(Event{type, Bytes(data, data + length)});
            count = self.events.size();
        }
        self.changed.notify_all();
        if (self.onEvent) self.onEvent(self, count);
        return 0;
    }
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, kPatience, [&] { return events.size() >= count; });
    }
    std::vector<Event> Snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return events;
    }
};

const char *const kVariables[] = {
    "NETLIB_SIM_USER",       "NETLIB_SIM_PASSWORD",    "NETLIB_SIM_CAMERA_IP",
    "NETLIB_SIM_PTZ",        "NETLIB_SIM_MAIN_SIZE",   "NETLIB_SIM_SUB_SIZE",
    "NETLIB_SIM_MEDIA",      "NETLIB_SIM_MAIN_MEDIA",  "NETLIB_SIM_SUB_MEDIA",
    "NETLIB_SIM_FPS",        "NETLIB_SIM_FRAME_BYTES", "NETLIB_SIM_ALARM_FIFO",
    "NETLIB_SIM_ALARM_INTERVAL_MS", "NETLIB_SIM_SNAPSHOT", "NETLIB_SIM_SNAP_FAIL",
    "NETLIB_SIM_JOURNAL",    "NETLIB_SIM_HANDOFF_LOG", "NETLIB_SIM_KEY_INTERVAL",
    "NETLIB_SIM_KEY_FRAME_BYTES"};

class SimNetLib : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/netlib_sim_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        for (const char *name : kVariables) unsetenv(name);
        setenv("NETLIB_SIM_JOURNAL", Path("journal").c_str(), 1);
    }
    void TearDown() override {
        if (m_handle != 0) HI_NET_DEV_Logout(m_handle);
        for (const char *name : kVariables) unsetenv(name);
        HI_NET_DEV_Init();  // stops the alarm thread of the test
        std::string command = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string Path(const char *name) const { return m_dir + "/" + name; }

    void LoginAsAdmin() {
        ASSERT_EQ(HI_NET_DEV_Init(), 0);
        ASSERT_EQ(HI_NET_DEV_Login(&m_handle, "admin", "admin", "127.0.0.1", 80), 0);
        ASSERT_NE(m_handle, 0u);
    }
    int Start(Recorder &recorder, uint32_t stream) {
        EXPECT_EQ(HI_NET_DEV_SetStreamCallBack(m_handle, Recorder::Callback, &recorder), 0);
        StreamStartRecord record = {1, stream, 0, 7, {0, 0, 0}};
        return HI_NET_DEV_StartStream(m_handle, &record);
    }
    // Frames (data type 0) from `from` on.
    static std::vector<Recorder::Event> Frames(Recorder &recorder, size_t from = 0) {
        std::vector<Recorder::Event> frames;
        std::vector<Recorder::Event> all = recorder.Snapshot();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].type == kSdkStreamFrame) frames.push_back(all[i]);
        return frames;
    }

    // Recorders live until after TearDown has logged out and stopped the
    // alarm thread, so no callback can outlive them, even when a test fails.
    Recorder &NewRecorder() {
        m_recorders.push_back(std::make_unique<Recorder>());
        return *m_recorders.back();
    }

    std::string m_dir;
    unsigned int m_handle = 0;
    std::vector<std::unique_ptr<Recorder>> m_recorders;
};

TEST_F(SimNetLib, LoginTakesOnlyTheConfiguredCredentialsAndHandle) {
    setenv("NETLIB_SIM_USER", "operator", 1);
    setenv("NETLIB_SIM_PASSWORD", "secret", 1);
    ASSERT_EQ(HI_NET_DEV_Init(), 0);
    unsigned int handle = 0;
    EXPECT_NE(HI_NET_DEV_Login(&handle, "admin", "admin", "127.0.0.1", 80), 0);
    EXPECT_NE(HI_NET_DEV_Login(&handle, "operator", "wrong", "127.0.0.1", 80), 0);
    EXPECT_EQ(handle, 0u);
    ASSERT_EQ(HI_NET_DEV_Login(&handle, "operator", "secret", "127.0.0.1", 80), 0);
    ASSERT_NE(handle, 0u);
    EXPECT_NE(HI_NET_DEV_SetReconnect(handle + 1, 1000), 0);
    EXPECT_EQ(HI_NET_DEV_SetReconnect(handle, 1000), 0);
    EXPECT_EQ(HI_NET_DEV_Logout(handle), 0);
    EXPECT_NE(HI_NET_DEV_SetReconnect(handle, 1000), 0);

    // Settings are read again at each Init: the defaults are back.
    for (const char *name : kVariables) unsetenv(name);
    LoginAsAdmin();
}

TEST_F(SimNetLib, ConfigRecordsCarryAddressAndPanTiltMark) {
    LoginAsAdmin();
    unsigned char info[64];
    memset(info, 0xff, sizeof info);
    ASSERT_EQ(HI_NET_DEV_GetConfig(m_handle, kSdkConfigDeviceInfo, info, sizeof info), 0);
    EXPECT_EQ(info[kSdkDeviceInfoPtzByte], '0');
    EXPECT_EQ(info[63], 0);

    setenv("NETLIB_SIM_CAMERA_IP", "198.51.100.7", 1);
    setenv("NETLIB_SIM_PTZ", "1", 1);
    ASSERT_EQ(HI_NET_DEV_Init(), 0);
    char address[248];
    memset(address, 0xff, sizeof address);
    ASSERT_EQ(HI_NET_DEV_GetConfig(m_handle, kSdkConfigDeviceAddress, address, sizeof address), 0);
    EXPECT_STREQ(address, "198.51.100.7");
    EXPECT_EQ(address[247], 0);
    ASSERT_EQ(HI_NET_DEV_GetConfig(m_handle, kSdkConfigDeviceInfo, info, sizeof info), 0);
    EXPECT_EQ(info[kSdkDeviceInfoPtzByte], '1');
    EXPECT_NE(HI_NET_DEV_GetConfig(m_handle, kSdkConfigDeviceAddress, address, 100), 0);
}

TEST_F(SimNetLib, SyntheticStreamSendsInformationThenStampedFrames) {
    setenv("NETLIB_SIM_MEDIA", "", 1);
    setenv("NETLIB_SIM_FPS", "200", 1);
    setenv("NETLIB_SIM_FRAME_BYTES", "20000", 1);
    setenv("NETLIB_SIM_SUB_SIZE", "320x240", 1);
    setenv("NETLIB_SIM_HANDOFF_LOG", Path("handoff").c_str(), 1);
    LoginAsAdmin();
    uint64_t before = MonotonicMicros();
    Recorder &recorder = NewRecorder();
    ASSERT_EQ(Start(recorder, 0), 0);
    ASSERT_TRUE(recorder.WaitForCount(4));
    ASSERT_EQ(HI_NET_DEV_StopStream(m_handle), 0);
    uint64_t after = MonotonicMicros();

    std::vector<Recorder::Event> events = recorder.Snapshot();
    ASSERT_EQ(events[0].type, kSdkStreamInfo);
    EXPECT_EQ(Word(&events[0].data[4]), 320u);
    EXPECT_EQ(Word(&events[0].data[8]), 240u);
    std::vector<Recorder::Event> frames = Frames(recorder);
    ASSERT_EQ(frames.size(), events.size() - 1);
    uint32_t firstSeq = Word(&frames[0].data[16]);
    std::vector<std::string> handoff = Lines(Path("handoff"));
    ASSERT_EQ(handoff.size(), frames.size());  // written out when the stream stopped
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes &frame = frames[i].data;
        ASSERT_EQ(frame.size(), 16u + 20000u);
        EXPECT_EQ(Word(&frame[0]), kSdkFrameMagic);
        EXPECT_EQ(Word(&frame[4]), 20000u);
        // However late the stop lands, the key frames are the run's first
        // and every interval's first after it.
        EXPECT_EQ(Word(&frame[12]) == kSdkKeyFrameType, i % netlib_sim::kDefaultKeyInterval == 0) << i;
        uint32_t seq = Word(&frame[16]);
        uint64_t handedOff = Word(&frame[20]) | static_cast<uint64_t>(Word(&frame[24])) << 32;
        EXPECT_EQ(seq, firstSeq + i);
        EXPECT_GE(handedOff, before);
        EXPECT_LE(handedOff, after);
        std::ostringstream expected;
        expected << seq << " " << handedOff << " 20000";
        EXPECT_EQ(handoff[i], expected.str());
    }

    // The main stream reports its own picture size.
    Recorder &main = NewRecorder();
    ASSERT_EQ(Start(main, 1), 0);
    ASSERT_TRUE(main.WaitForCount(1));
    EXPECT_EQ(Word(&main.Snapshot()[0].data[4]), 1280u);
    EXPECT_EQ(Word(&main.Snapshot()[0].data[8]), 720u);
    HI_NET_DEV_StopStream(m_handle);
}

TEST_F(SimNetLib, ClipStreamStartsWithKeyFrameAndJumpsToOneOnRequest) {
    setenv("NETLIB_SIM_FPS", "200", 1);
    LoginAsAdmin();
    Recorder &recorder = NewRecorder();
    ASSERT_EQ(Start(recorder, 0), 0);
    ASSERT_TRUE(recorder.WaitForCount(4));  // information and three frames of the clip

    std::vector<Recorder::Event> frames = Frames(recorder);
    const Bytes &first = frames[0].data;
    EXPECT_EQ(Word(&first[12]), kSdkKeyFrameType);
    ASSERT_EQ(first.size(), 16u + Word(&first[4]));
    const unsigned char sps[] = {0, 0, 0, 1, 0x67};  // parameter sets travel with the IDR
    EXPECT_EQ(memcmp(&first[16], sps, sizeof sps), 0);
    EXPECT_NE(Word(&frames[1].data[12]), kSdkKeyFrameType);

    // Frames keep coming while the request is made (a slow machine may see
    // several), and the frame being built when it lands may still go out
    // first: the key frame is due within one frame of the request's return.
    size_t before = recorder.Snapshot().size();
    ASSERT_EQ(HI_NET_DEV_MakeKeyFrame(m_handle, kSdkSubStream), 0);
    size_t after = recorder.Snapshot().size();
    ASSERT_TRUE(recorder.WaitForCount(after + 2));
    frames = Frames(recorder, before);
    size_t window = after + 2 - before;
    bool key = false;
    for (size_t i = 0; i < window && i < frames.size(); ++i) key = key || Word(&frames[i].data[12]) == kSdkKeyFrameType;
    EXPECT_TRUE(key);
    HI_NET_DEV_StopStream(m_handle);
}

TEST_F(SimNetLib, SyntheticKeyFrameFollowsRequest) {
    setenv("NETLIB_SIM_MEDIA", "", 1);
    LoginAsAdmin();
    VideoSettings video = {1, 0, 256, 500, 100000, 0, 2};  // fast, key frames far apart
    ASSERT_EQ(HI_NET_DEV_SetConfig(m_handle, kSdkConfigVideo, &video, sizeof video), 0);
    Recorder &recorder = NewRecorder();
    ASSERT_EQ(Start(recorder, 0), 0);
    ASSERT_TRUE(recorder.WaitForCount(3));
    ASSERT_EQ(HI_NET_DEV_MakeKeyFrame(m_handle, kSdkSubStream), 0);
    // The frame being built when the request comes may still go out
    // without the key flag, so wait for the key rather than a frame count.
    auto countKeys = [&] {
        int keys = 0;
        for (const Recorder::Event &frame : Frames(recorder, 1)) keys += Word(&frame.data[12]) == kSdkKeyFrameType;
        return keys;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (countKeys() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int keys = countKeys();
    EXPECT_EQ(keys, 2);  // the first frame and the requested one
    HI_NET_DEV_StopStream(m_handle);
}

TEST_F(SimNetLib, NoCallbackAfterStopStreamReturnsOnAnyThread) {
    setenv("NETLIB_SIM_MEDIA", "", 1);
    setenv("NETLIB_SIM_FPS", "0", 1);  // unpaced: a callback is almost always running
    setenv("NETLIB_SIM_FRAME_BYTES", "64", 1);
    LoginAsAdmin();
    for (int round = 0; round < 20; ++round) {
        Recorder &recorder = NewRecorder();
        ASSERT_EQ(Start(recorder, round % 2), 0);
        ASSERT_TRUE(recorder.WaitForCount(3));
        if (round % 2 == 0) {
            std::thread stopper([this] { EXPECT_EQ(HI_NET_DEV_StopStream(m_handle), 0); });
            stopper.join();
        } else {
            ASSERT_EQ(HI_NET_DEV_StopStream(m_handle), 0);
        }
        recorder.closed = true;
        size_t count = recorder.Snapshot().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(recorder.late, 0) << "round " << round;
        EXPECT_EQ(recorder.Snapshot().size(), count);
    }
}

TEST_F(SimNetLib, StopStreamFromInsideTheCallbackEndsTheStream) {
    setenv("NETLIB_SIM_MEDIA", "", 1);
    setenv("NETLIB_SIM_FPS", "500", 1);
    LoginAsAdmin();
    Recorder &recorder = NewRecorder();
    unsigned int handle = m_handle;
    recorder.onEvent = [handle](Recorder &self, size_t count) {
        if (count == 3) {
            HI_NET_DEV_StopStream(handle);
            self.closed = true;
        }
    };
    ASSERT_EQ(Start(recorder, 0), 0);
    ASSERT_TRUE(recorder.WaitForCount(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(recorder.late, 0);
    EXPECT_EQ(HI_NET_DEV_StopStream(m_handle), 0);

    // And the handle can start again at once.
    Recorder &again = NewRecorder();
    ASSERT_EQ(Start(again, 0), 0);
    ASSERT_TRUE(again.WaitForCount(2));
    EXPECT_EQ(HI_NET_DEV_StopStream(m_handle), 0);
}

TEST_F(SimNetLib, FifoLinesRaiseAlarms) {
    setenv("NETLIB_SIM_ALARM_FIFO", Path("alarms").c_str(), 1);
    LoginAsAdmin();
    struct stat info;
    ASSERT_EQ(stat(Path("alarms").c_str(), &info), 0);
    ASSERT_TRUE(S_ISFIFO(info.st_mode));
    Recorder &recorder = NewRecorder();
    ASSERT_EQ(HI_NET_DEV_SetDataCallBack(m_handle, Recorder::Callback, &recorder), 0);

    int fifo = open(Path("alarms").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    const char text[] = "motion\nbogus\n  input \r\n";
    ASSERT_EQ(write(fifo, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fifo);
    ASSERT_TRUE(recorder.WaitForCount(2));
    std::vector<Recorder::Event> events = recorder.Snapshot();
    EXPECT_EQ(events[0].type, kSdkAlarmMotion);
    EXPECT_EQ(events[1].type, kSdkAlarmInput);

    // A second writer after the first one closed is still heard.
    fifo = open(Path("alarms").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "motion\n", 7), 7);
    close(fifo);
    ASSERT_TRUE(recorder.WaitForCount(3));

    std::vector<std::string> journal = Lines(Path("journal"));
    std::vector<std::string> alarms;
    for (const std::string &line : journal)
        if (line.rfind("Alarm", 0) == 0) alarms.push_back(line);
    EXPECT_EQ(alarms, (std::vector<std::string>{"Alarm motion", "Alarm ignored bogus", "Alarm input",
                                                "Alarm motion"}));
}

TEST_F(SimNetLib, IntervalRaisesMotionAlarms) {
    setenv("NETLIB_SIM_ALARM_INTERVAL_MS", "10", 1);
    LoginAsAdmin();
    Recorder &recorder = NewRecorder();
    ASSERT_EQ(HI_NET_DEV_SetDataCallBack(m_handle, Recorder::Callback, &recorder), 0);
    ASSERT_TRUE(recorder.WaitForCount(2));
    EXPECT_EQ(recorder.Snapshot()[1].type, kSdkAlarmMotion);
}

TEST_F(SimNetLib, SnapshotCopiesTheJpegWhenItFits) {
    LoginAsAdmin();
    Bytes jpeg = ReadFile(std::string(NETLIB_SIM_MEDIA_DIR) + "/snapshot.jpg");
    ASSERT_GT(jpeg.size(), 2u);
    ASSERT_EQ(jpeg[0], 0xff);
    ASSERT_EQ(jpeg[1], 0xd8);
    Bytes buffer(kSdkSnapshotCapacity);
    int size = 0;
    ASSERT_EQ(HI_NET_DEV_SnapJpeg(m_handle, buffer.data(), kSdkSnapshotCapacity, &size), 0);
    ASSERT_EQ(size, static_cast<int>(jpeg.size()));
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), buffer.begin()));
    int exact = static_cast<int>(jpeg.size());
    EXPECT_EQ(HI_NET_DEV_SnapJpeg(m_handle, buffer.data(), exact, &size), 0);
    EXPECT_NE(HI_NET_DEV_SnapJpeg(m_handle, buffer.data(), exact - 1, &size), 0);

    setenv("NETLIB_SIM_SNAP_FAIL", "1", 1);
    ASSERT_EQ(HI_NET_DEV_Init(), 0);
    EXPECT_NE(HI_NET_DEV_SnapJpeg(m_handle, buffer.data(), kSdkSnapshotCapacity, &size), 0);
}

TEST_F(SimNetLib, JournalNamesEveryCallWithItsArguments) {
    setenv("NETLIB_SIM_FPS", "200", 1);
    LoginAsAdmin();
    unsigned char info[64];
    HI_NET_DEV_GetConfig(m_handle, kSdkConfigDeviceInfo, info, sizeof info);
    HI_NET_DEV_SetReconnect(m_handle, 1000);
    HI_NET_DEV_SetDataCallBack(m_handle, Recorder::Callback, nullptr);
    HI_NET_DEV_SetEventCallBack(m_handle, Recorder::Callback, nullptr);
    VideoSettings video = {1, 1, 400, 12, 100, 0, 3};
    HI_NET_DEV_SetConfig(m_handle, kSdkConfigVideo, &video, sizeof video);
    DeviceTimeRecord time = {"2015.06.01.12.30.45"};
    HI_NET_DEV_SetConfig(m_handle, kSdkConfigDeviceTime, &time, sizeof time);
    HI_NET_DEV_PTZ_Ctrl_StandardEx(m_handle, 12292);
    HI_NET_DEV_MakeKeyFrame(m_handle, kSdkSubStream);
    Recorder &recorder = NewRecorder();
    Start(recorder, 0);
    HI_NET_DEV_StopStream(m_handle);
    Bytes buffer(kSdkSnapshotCapacity);
    int size = 0;
    HI_NET_DEV_SnapJpeg(m_handle, buffer.data(), kSdkSnapshotCapacity, &size);
    HI_NET_DEV_Logout(m_handle);
    m_handle = 0;

    EXPECT_EQ(Lines(Path("journal")),
              (std::vector<std::string>{"Init", "Login admin 127.0.0.1 80", "GetConfig 4096 64",
                                        "SetReconnect 1000", "SetDataCallBack", "SetEventCallBack",
                                        "SetConfig 4100 1,1,400,12,100,0,3",
                                        "SetConfig 4119 2015.06.01.12.30.45", "PTZ_Ctrl_StandardEx 12292",
                                        "MakeKeyFrame 12", "SetStreamCallBack",
                                        "StartStream channel=1 stream=0 mode=0 mask=7", "StopStream",
                                        "SnapJpeg 1048576", "Logout"}));
}

}  // namespace
