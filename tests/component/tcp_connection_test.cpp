// TcpConnection over real loopback sockets: receive framing, send queue,
// slot pool, closing, Wait/Wake and the producer/close race.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_connection.h"
#include "runtime/clock.h"
#include "tests/support/loopback_server.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif
#ifndef SANITIZED_BUILD
#define SANITIZED_BUILD 0
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Frames {
    std::mutex lock;
    std::vector<std::string> bodies;
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return bodies.size();
    }
};

void Collect(const char *body, int32_t length, void *context)
{
    Frames *frames = static_cast<Frames *>(context);
    std::lock_guard<std::mutex> guard(frames->lock);
    frames->bodies.emplace_back(body, static_cast<size_t>(length));
}

std::string Le32(uint32_t value)
{
    std::string out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// One owner pass, as the agent's loops run it.
void Pass(TcpConnection &conn, int waitMs = 10)
{
    conn.Wait(waitMs);
    conn.PollSend(0);
    conn.PollReceive(0);
}

template <typename Done> bool PassUntil(TcpConnection &conn, Done done, int timeoutMs = 3000)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        Pass(conn);
    }
    return true;
}

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A wait that should end early is given this long, and counts as ended
// early below half of it: a missed wake still shows, and a slow or
// emulated machine has seconds to spare.
const int kLongWaitMs = 10000;
const int64_t kEarlyMs = kLongWaitMs / 2;

int OpenDescriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

// Owner thread running Wait and both polls until stopped.
class OwnerLoop {
public:
    explicit OwnerLoop(TcpConnection &conn) : m_Conn(conn), m_Run(true)
    {
        m_Thread = std::thread([this] {
            while (m_Run.load())
                Pass(m_Conn, 50);
        });
    }
    ~OwnerLoop()
    {
        m_Run.store(false);
        m_Conn.Wake();
        m_Thread.join();
    }

private:
    TcpConnection &m_Conn;
    std::atomic<bool> m_Run;
    std::thread m_Thread;
};

class TcpConnectionTest : public ::testing::Test {
protected:
    ~TcpConnectionTest() override { SetClockOffsetMs(0); }

    void Open(int32_t slotSize, uint32_t slots, ReceiveCallback callback = Collect)
    {
        conn.Setup(slotSize, slots, callback, callback != nullptr ? &frames : nullptr);
        Reconnect();
    }
    void Reconnect()
    {
        ASSERT_EQ(1, conn.Connect("127.0.0.1", server.Port(), 5));
        ASSERT_TRUE(server.Accept(2000));
    }

    LoopbackServer server;
    Frames frames;
    TcpConnection conn;
};

TEST_F(TcpConnectionTest, CutsFramesWithinAndAcrossReads)
{
    Open(256, 2);
    // Two frames (one of them empty) in one write: one receive step
    // delivers both, in order.
    ASSERT_TRUE(server.SendRaw(FrameText("first") + Le32(0)));
    conn.Wait(2000);
    EXPECT_EQ(1, conn.PollReceive(0));
    ASSERT_EQ(2u, frames.Count());
    EXPECT_EQ(std::string("0first\0", 7), frames.bodies[0]);
    EXPECT_EQ("", frames.bodies[1]);

    // One frame dribbled a byte at a time is delivered once, at its end.
    std::string dribbled = FrameText("dribbled");
    for (size_t i = 0; i < dribbled.size(); ++i) {
        ASSERT_TRUE(server.SendRaw(dribbled.substr(i, 1)));
        conn.Wait(2000);
        conn.PollReceive(0);
        EXPECT_EQ(i + 1 < dribbled.size() ? 2u : 3u, frames.Count()) << "after byte " << i;
    }
    EXPECT_EQ(std::string("0dribbled\0", 10), frames.bodies[2]);
    EXPECT_TRUE(conn.IsConnected());
}

TEST_F(TcpConnectionTest, LargestFrameFillsTheBufferAndFramingGoesOn)
{
    Open(256, 2);
    std::string body(kMaxFrameLength, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 31 + 7);
    // Sent from another thread: the socket buffers need not hold it all.
    std::thread sender([&] { server.SendRaw(Le32(kMaxFrameLength) + body); });
    EXPECT_TRUE(PassUntil(conn, [&] { return frames.Count() == 1; }));
    sender.join();
    ASSERT_EQ(1u, frames.Count());
    EXPECT_TRUE(frames.bodies[0] == body);
    ASSERT_TRUE(server.SendText("after"));
    ASSERT_TRUE(PassUntil(conn, [&] { return frames.Count() == 2; }));
    EXPECT_EQ(std::string("0after\0", 7), frames.bodies[1]);
    EXPECT_TRUE(conn.IsConnected());
}

TEST_F(TcpConnectionTest, OversizeLengthClosesWithoutCallback)
{
    conn.Setup(256, 2, Collect, &frames);
    const uint32_t lengths[] = {kMaxFrameLength + 1u, 0x80000000u, 0xFFFFFFFFu};
    for (uint32_t length : lengths) {
        Reconnect();
        ASSERT_TRUE(server.SendRaw(Le32(length)));
        EXPECT_TRUE(PassUntil(conn, [&] { return !conn.IsConnected(); })) << length;
        EXPECT_TRUE(server.WaitClosed(2000));
    }
    EXPECT_EQ(0u, frames.Count());
}

TEST_F(TcpConnectionTest, WithoutCallbackBytesPileUpUntilTheBufferIsFull)
{
    Open(256, 2, nullptr);
    std::atomic<bool> sent(false);
    std::thread sender([&] {
        server.SendRaw(std::string(kRecvBufferSize - 1, 'x'));
        sent.store(true);
    });
    while (!sent.load())
        conn.PollReceive(10000);
    sender.join();
    for (int i = 0; i < 20; ++i)
        conn.PollReceive(10000);
    ASSERT_TRUE(conn.IsConnected());
    // The last byte of room is taken; the one after it finds none.
    ASSERT_TRUE(server.SendRaw("y"));
    for (int i = 0; i < 5; ++i)
        conn.PollReceive(10000);
    ASSERT_TRUE(conn.IsConnected());
    ASSERT_TRUE(server.SendRaw("z"));
    EXPECT_TRUE(PassUntil(conn, [&] { return !conn.IsConnected(); }));
}

TEST_F(TcpConnectionTest, PeerCloseClosesTheConnection)
{
    Open(256, 2);
    server.CloseClient();
    EXPECT_TRUE(PassUntil(conn, [&] { return !conn.IsConnected(); }));
    EXPECT_EQ(0, conn.PollReceive(0));
    EXPECT_EQ(0, conn.PollSend(0));
}

TEST(TcpConnectionConnect, RefusedPortFailsAndLeavesNoSocket)
{
    unsigned short port;
    {
        LoopbackServer gone;
        port = gone.Port();
    }
    TcpConnection conn;
    conn.Setup(256, 1, nullptr, nullptr);
    int before = OpenDescriptors();
    EXPECT_EQ(0, conn.Connect("127.0.0.1", port, 5));
    EXPECT_FALSE(conn.IsConnected());
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_EQ(0, conn.QueueText("nobody"));
}

TEST(TcpConnectionConnect, UnresolvableNamePrintsOneResolverLine)
{
    TcpConnection conn;
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, conn.Connect("no-such-host.invalid", 80, 5));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("getaddrinfo: "));
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
    EXPECT_EQ('\n', err.back());
    EXPECT_FALSE(conn.IsConnected());
}

TEST_F(TcpConnectionTest, TextsAndRawBytesGoOutFramedAndInOrder)
{
    Open(256, 4);
    ASSERT_EQ(1, conn.QueueText("abc"));
    ASSERT_EQ(1, conn.QueueText(""));
    ASSERT_EQ(1, conn.QueueBytes("raw!", 4));
    ASSERT_EQ(1, conn.QueueText("last"));
    EXPECT_EQ(1, conn.PollSend(100000));
    std::string wire;
    ASSERT_TRUE(server.ReadBytes(&wire, 9 + 6 + 4 + 10, 2000));
    EXPECT_EQ(std::string("\x05\0\0\0" "0abc\0" "\x02\0\0\0" "0\0" "raw!" "\x06\0\0\0" "0last\0", 29), wire);
    EXPECT_EQ(0u, conn.QueuedCount());
    EXPECT_TRUE(conn.IsSendIdle());
    EXPECT_EQ(4u, conn.FreeSlotCount());
}

// Queues more raw bytes than the socket buffers hold while the peer does
// not read, so the send step has to stop part-way through a slot.
void FillPastTheSocket(TcpConnection &conn, uint32_t slots, int32_t slotSize, std::string *expected)
{
    std::string chunk(slotSize, '\0');
    for (uint32_t s = 0; s < slots; ++s) {
        for (int32_t i = 0; i < slotSize; ++i)
            chunk[i] = static_cast<char>((s * 131 + i * 7 + i / 251) & 0xFF);
        ASSERT_EQ(1, conn.QueueBytes(chunk.data(), slotSize));
        expected->append(chunk);
    }
    for (int i = 0; i < 50; ++i)
        conn.PollSend(1000);
    ASSERT_TRUE(conn.IsConnected());
    ASSERT_FALSE(conn.IsSendIdle());
}

TEST_F(TcpConnectionTest, SlowReaderReceivesEveryByteOnceInOrder)
{
    Open(65536, 40);
    std::string expected;
    FillPastTheSocket(conn, 40, 65536, &expected);
    std::string got;
    std::thread reader([&] {
        std::string piece;
        while (got.size() < expected.size() &&
               server.ReadBytes(&piece, std::min<size_t>(1000, expected.size() - got.size()), 3000))
            got += piece;
    });
    EXPECT_TRUE(PassUntil(conn, [&] { return conn.FreeSlotCount() == 40; }, 20000));
    reader.join();
    EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
    EXPECT_TRUE(conn.IsSendIdle());
}

TEST_F(TcpConnectionTest, CloseReturnsQueuedAndHalfSentSlots)
{
    Open(65536, 40);
    std::string expected;
    FillPastTheSocket(conn, 40, 65536, &expected);
    ASSERT_GE(conn.QueuedCount(), 3u);
    conn.Close();
    EXPECT_EQ(conn.SlotCount(), conn.FreeSlotCount());
    EXPECT_EQ(0u, conn.QueuedCount());
    EXPECT_TRUE(conn.IsSendIdle());
    EXPECT_EQ(0, conn.QueueText("while closed"));

    // The next connection starts clean: its first bytes are its own packet.
    Reconnect();
    ASSERT_EQ(1, conn.QueueText("fresh"));
    PassUntil(conn, [&] { return conn.QueuedCount() == 0 && conn.IsSendIdle(); });
    EXPECT_EQ("fresh", server.ReadText(2000));
}

TEST_F(TcpConnectionTest, RefusesOversizeAndExhaustionWithExactSizes)
{
    Open(256, 3);
    std::string text250(250, 't');
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, conn.QueueText(text250.c_str()));
    EXPECT_EQ(0, conn.QueueText((text250 + "u").c_str()));
    EXPECT_EQ(1, conn.QueueBytes(std::string(256, 'b').data(), 256));
    EXPECT_EQ(0, conn.QueueBytes("x", 257));
    EXPECT_EQ(1, conn.QueueText("a"));
    EXPECT_EQ(0, conn.QueueText("b"));
    EXPECT_EQ(0, conn.QueueVideoFrame(640, 480, 1, kRelayStreamKind, true, "p", 1, 0));
    EXPECT_EQ(0, conn.QueueBytes("x", -1));
    EXPECT_EQ("GetWriteBuffer is null  mean no packet! now size 256 ! need size 257\n"
              "GetWriteBuffer is null  mean no packet! now size 256 ! need size 257\n"
              "GetWriteBuffer is null  mean no packet! now size 256 ! need size 7\n",
              testing::internal::GetCapturedStdout());
    // A video frame that finds the pool full is a drop for the uplink:
    // counted, not a console line per frame.
    EXPECT_EQ(1u, conn.VideoDropped());
    EXPECT_EQ(3u, conn.QueuedCount());

    conn.Close();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, conn.QueueText("closed"));
    EXPECT_EQ(0, conn.QueueBytes(std::string(999, 'x').data(), 999));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(TcpConnectionTest, VideoPacketLayout)
{
    Open(2048, 4);
    std::string payload(1000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i);
    ASSERT_EQ(1, conn.QueueVideoFrame(640, 480, 7, kRelayStreamKind, true, payload.data(), 1000, 0));
    // Oversized picture: only the low 12 bits of each side are carried.
    ASSERT_EQ(1, conn.QueueVideoFrame(4096 + 5, 4096 + 3, 0x01020304, kRelayStreamKind, false, "pq", 2,
                                      0xA1B2C3D4));
    conn.PollSend(100000);

    std::string wire;
    ASSERT_TRUE(server.ReadBytes(&wire, 1029, 2000));
    const unsigned char head[] = {0x01, 0x04, 0x00, 0x00, 0x56, 0x00, 0x00, 0x56, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xC1,
                                  0x83, 0x01, 0x28, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(head), sizeof(head)), wire.substr(0, 29));
    EXPECT_TRUE(wire.substr(29) == payload);

    ASSERT_TRUE(server.ReadBytes(&wire, 31, 2000));
    uint32_t picture = 0 | (3u << 1) | (12u << 13) | (5u << 20);
    EXPECT_EQ(Le32(27) + "V" + std::string("\0\0V\0", 4) + Le32(0xA1B2C3D4) + Le32(2) + Le32(0x01020304) +
                  Le32(picture) + Le32(0) + "pq",
              wire);
}

TEST_F(TcpConnectionTest, VideoFrameFillsARelaySlotExactly)
{
    Open(204800, 2);
    std::vector<char> payload(204772, 'v');
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, conn.QueueVideoFrame(640, 480, 1, kRelayStreamKind, true, payload.data(), 204771, 0));
    EXPECT_EQ(0, conn.QueueVideoFrame(640, 480, 2, kRelayStreamKind, true, payload.data(), 204772, 0));
    EXPECT_EQ("GetWriteBuffer is null  mean no packet! now size 204800 ! need size 204801\n",
              testing::internal::GetCapturedStdout());
    std::string body;
    std::thread reader([&] { server.ReadFrame(&body, 3000); });
    PassUntil(conn, [&] { return conn.FreeSlotCount() == 2; });
    reader.join();
    EXPECT_EQ(204796u, body.size());
}

TEST_F(TcpConnectionTest, ThreeProducersAllArriveEachInOrder)
{
    const int kPerProducer = 1000;
    Open(32, 3 * kPerProducer);
    std::atomic<int> refused(0);
    {
        OwnerLoop owner(conn);
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < kPerProducer; ++i) {
                    std::string text = std::to_string(p) + ":" + std::to_string(i);
                    if (conn.QueueText(text.c_str()) != 1)
                        ++refused;
                }
            });
        }
        int next[3] = {0, 0, 0};
        for (int n = 0; n < 3 * kPerProducer; ++n) {
            std::string text = server.ReadText(5000);
            ASSERT_FALSE(text.empty()) << "after " << n << " texts";
            int p = text[0] - '0';
            ASSERT_TRUE(p >= 0 && p < 3) << text;
            EXPECT_EQ(std::to_string(p) + ":" + std::to_string(next[p]), text);
            next[p] = std::stoi(text.substr(2)) + 1;
        }
        for (std::thread &t : producers)
            t.join();
    }
    EXPECT_EQ(0, refused.load());
}

// Producers keep queueing texts tagged with the connection they believe is
// up while the owner closes and reconnects over and over. A text tagged
// with one connection must never arrive on a later one.
TEST_F(TcpConnectionTest, PacketsOfAClosedConnectionNeverReachTheNextOne)
{
    const int kProducers = 3;
#if SANITIZED_BUILD
    const int kConnections = 300;  // the sanitizers look for data races, not for this rare window
#else
    const int kConnections = 3000;
#endif
    // Large texts widen the window between a producer's check of the
    // connection and its enqueue.
    const std::string padding(60000, '.');
    conn.Setup(65536, 64, nullptr, nullptr);
    std::atomic<int> epoch(0);
    std::atomic<bool> stop(false);
    std::atomic<uint32_t> calls[kProducers];
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        calls[p].store(0);
        producers.emplace_back([&, p] {
            while (!stop.load()) {
                calls[p].fetch_add(1);  // odd: inside a call
                int tag = epoch.load();
                if (tag > 0 && conn.FreeSlotCount() > 2 * kProducers)
                    conn.QueueText((std::to_string(tag) + ":" + padding).c_str());
                calls[p].fetch_add(1);
                if (tag == 0 || conn.FreeSlotCount() <= 2 * kProducers)
                    std::this_thread::yield();
            }
        });
    }
    int stale = 0;
    int delivered = 0;
    for (int k = 1; k <= kConnections && stale == 0; ++k) {
        Reconnect();
        epoch.store(k);
        for (int i = 0; i < 3; ++i) {
            conn.Wait(1);
            conn.PollSend(0);
        }
        epoch.store(0);
        conn.Close();
        // Let every call that may have read tag k finish before connection
        // k + 1 exists.
        for (int p = 0; p < kProducers; ++p) {
            uint32_t seen = calls[p].load();
            while ((seen & 1u) != 0 && calls[p].load() == seen)
                std::this_thread::yield();
        }
        std::string body;
        const std::string tag = "0" + std::to_string(k) + ":";
        while (server.ReadFrame(&body, 2000)) {
            ++delivered;
            if (body.compare(0, tag.size(), tag) != 0)
                ++stale;
        }
    }
    stop.store(true);
    for (std::thread &t : producers)
        t.join();
    EXPECT_EQ(0, stale);
    EXPECT_GT(delivered, 0);
    EXPECT_EQ(conn.SlotCount(), conn.FreeSlotCount());
}

TEST_F(TcpConnectionTest, QueueingFromAnotherThreadEndsAWaitPromptly)
{
    Open(256, 4);
    std::atomic<int64_t> waited(-1);
    std::thread owner([&] {
        Clock::time_point start = Clock::now();
        conn.Wait(kLongWaitMs);
        waited.store(ElapsedMs(start));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(1, conn.QueueText("wake"));
    owner.join();
    EXPECT_LT(waited.load(), kEarlyMs);
}

TEST_F(TcpConnectionTest, WaitBlocksOnlyWhileThereIsNothingToDo)
{
    Open(256, 4);
    // A queued packet on a writable socket keeps Wait short even after the
    // producer's wake has been used up...
    ASSERT_EQ(1, conn.QueueText("pending"));
    conn.Wait(5000);
    Clock::time_point start = Clock::now();
    conn.Wait(kLongWaitMs);
    EXPECT_LT(ElapsedMs(start), kEarlyMs);
    // ...and once it is sent, an idle connection blocks for the time-out.
    conn.PollSend(0);
    ASSERT_TRUE(conn.IsSendIdle());
    start = Clock::now();
    conn.Wait(100);
    EXPECT_GE(ElapsedMs(start), 90);

    // A wake given before the wait is kept, and used up by it.
    conn.Wake();
    start = Clock::now();
    conn.Wait(kLongWaitMs);
    EXPECT_LT(ElapsedMs(start), kEarlyMs);
    start = Clock::now();
    conn.Wait(100);
    EXPECT_GE(ElapsedMs(start), 90);

    // Closed: only a wake or the time-out ends it.
    conn.Close();
    start = Clock::now();
    conn.Wait(100);
    EXPECT_GE(ElapsedMs(start), 90);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        conn.Wake();
    });
    start = Clock::now();
    conn.Wait(kLongWaitMs);
    EXPECT_LT(ElapsedMs(start), kEarlyMs);
    waker.join();
}

TEST_F(TcpConnectionTest, NoWakeIsLostWhileWakersRaceAWaitingOwner)
{
    // Each waker publishes a ticket, wakes the owner, and needs the owner to
    // have seen it well before the owner's own time-out ends its wait. The
    // owner looks before it waits, as the agent's loops do, so it relies on
    // a wake that lands anywhere in or around a wait ending that wait or
    // the next: a lost wake shows as a ticket that waits for the time-out.
    Open(256, 4);
    std::atomic<int> posted(0);
    std::atomic<int> seen(0);
    std::atomic<bool> stop(false);
    std::thread owner([&] {
        while (!stop.load()) {
            seen.store(posted.load());
            std::this_thread::yield();  // widens the gap between look and wait
            conn.Wait(kLongWaitMs);
        }
    });
    std::atomic<int> late(0);
    std::vector<std::thread> wakers;
    for (int w = 0; w < 3; ++w)
        wakers.emplace_back([&] {
            for (int i = 0; i < 1500 && late.load() == 0; ++i) {
                int ticket = posted.fetch_add(1) + 1;
                conn.Wake();
                Clock::time_point start = Clock::now();
                while (seen.load() < ticket) {
                    if (ElapsedMs(start) > kEarlyMs) {
                        late.fetch_add(1);
                        break;
                    }
                    std::this_thread::yield();
                }
            }
        });
    for (std::thread &t : wakers)
        t.join();
    stop.store(true);
    conn.Wake();
    owner.join();
    EXPECT_EQ(0, late.load());
}

TEST_F(TcpConnectionTest, VideoFramesKeepOrderAndBytesWhenTheSocketTakesPartOfOne)
{
    // Frames go straight to the socket while it keeps up; the peer reads
    // only after a pause, so the socket fills and takes frames in parts,
    // and the rest of them go through the slots.
    Open(204800, 10);
    const uint32_t kFrames = 40;
    const int32_t kPayload = 150000;
    auto pattern = [](uint32_t seq, size_t i) { return static_cast<unsigned char>(seq * 7 + i * 13); };
    std::atomic<bool> stop(false);
    std::thread owner([&] {
        while (!stop.load())
            conn.Service(100);
    });
    testing::internal::CaptureStdout();  // "no packet" lines while the slots are full
    std::thread producer([&] {
        std::vector<unsigned char> payload(kPayload);
        for (uint32_t seq = 1; seq <= kFrames; ++seq) {
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = pattern(seq, i);
            while (!stop.load() &&
                   conn.QueueVideoFrame(640, 480, seq, 12, seq == 1, payload.data(), kPayload, seq * 40) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto readAll = [&] {
        for (uint32_t seq = 1; seq <= kFrames; ++seq) {
            std::string body;
            ASSERT_TRUE(server.ReadFrame(&body, 5000)) << seq;
            ASSERT_EQ(static_cast<size_t>(kPayload) + 25, body.size());
            ASSERT_EQ('V', body[0]);
            ASSERT_EQ(Le32(seq), body.substr(13, 4));
            ASSERT_EQ(Le32(seq * 40), body.substr(5, 4));
            for (size_t i = 0; i < static_cast<size_t>(kPayload); ++i)
                ASSERT_EQ(pattern(seq, i), static_cast<unsigned char>(body[25 + i])) << seq << " at " << i;
        }
    };
    readAll();
    stop.store(true);
    producer.join();
    conn.Wake();
    owner.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(conn.SlotCount(), conn.FreeSlotCount());
}

TEST_F(TcpConnectionTest, AKeyFrameQueuedBehindADropEndsItForTheFramesAfterIt)
{
    // A live video link whose peer stops reading: a large frame is left
    // half sent, a frame queued behind it turns stale, and a key frame is
    // queued after that. When the peer reads again the stale frame is
    // dropped, the key frame sent, and the camera's next frames are taken
    // again: the drop ended with that key frame.
    conn.Setup(204800, 10, Collect, &frames);
    conn.SetLiveVideo(2048, 300);
    Reconnect();
    std::vector<unsigned char> large(200000, 0x11);
    std::vector<unsigned char> small(1000, 0x22);
    ASSERT_EQ(1, conn.QueueVideoFrame(640, 480, 1, 12, false, large.data(), 200000, 0));
    ASSERT_FALSE(conn.IsSendIdle()) << "the peer took the whole frame: nothing waits";
    ASSERT_EQ(1, conn.QueueVideoFrame(640, 480, 2, 12, false, small.data(), 1000, 0));
    AdvanceClockMs(600);  // frame 2 has waited past the 300 ms limit
    ASSERT_EQ(1, conn.QueueVideoFrame(640, 480, 3, 12, true, small.data(), 1000, 0));
    std::atomic<bool> stop(false);
    std::thread owner([&] {
        while (!stop.load())
            conn.Service(20);
    });
    std::vector<uint32_t> sequences;
    std::string body;
    for (int i = 0; i < 2 && server.ReadFrame(&body, 3000); ++i)
        sequences.push_back(static_cast<uint32_t>(static_cast<unsigned char>(body[13])));
    Clock::time_point end = Clock::now() + std::chrono::seconds(3);
    while (!(conn.IsSendIdle() && conn.QueuedCount() == 0) && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // Frames after the key frame go out.
    EXPECT_EQ(1, conn.QueueVideoFrame(640, 480, 4, 12, false, small.data(), 1000, 0));
    EXPECT_EQ(1, conn.QueueVideoFrame(640, 480, 5, 12, false, small.data(), 1000, 0));
    for (int i = 0; i < 2 && server.ReadFrame(&body, 3000); ++i)
        sequences.push_back(static_cast<uint32_t>(static_cast<unsigned char>(body[13])));
    stop.store(true);
    conn.Wake();
    owner.join();
    EXPECT_EQ(std::vector<uint32_t>({1, 3, 4, 5}), sequences);
    EXPECT_EQ(1u, conn.VideoDropped());
}

}  // namespace
