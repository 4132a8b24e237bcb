#include <gtest/gtest.h>
#include <sys/select.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/worker_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every pause slice a worker sleeps, in milliseconds, as it asks for it:
// SleepMs is a select on no descriptors, and nothing else here makes one.
// The slices show how a pause is cut and where a stop ends it, which the
// wall clock of a loaded machine cannot.
std::mutex g_SlicesLock;
std::vector<long> g_Slices;

std::vector<long> Slices()
{
    std::lock_guard<std::mutex> guard(g_SlicesLock);
    return g_Slices;
}

void ClearSlices()
{
    std::lock_guard<std::mutex> guard(g_SlicesLock);
    g_Slices.clear();
}
}  // namespace

// Stands in front of the C library's select for this test executable and
// waits as it would, through pselect: with a 64-bit time_t on a 32-bit
// target both names are the header's, so no symbol is looked up by a name
// that could be the 32-bit one.
extern "C" int select(int count, fd_set *read, fd_set *write, fd_set *except, struct timeval *timeout)
{
    if (count == 0 && read == nullptr && write == nullptr && except == nullptr && timeout != nullptr) {
        std::lock_guard<std::mutex> guard(g_SlicesLock);
        g_Slices.push_back(static_cast<long>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000));
    }
    struct timespec wait;
    struct timespec *waitFor = nullptr;
    if (timeout != nullptr) {
        wait.tv_sec = timeout->tv_sec;
        wait.tv_nsec = static_cast<long>(timeout->tv_usec) * 1000;
        waitFor = &wait;
    }
    return pselect(count, read, write, except, waitFor, nullptr);
}

namespace {

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Polls `done` every millisecond for up to five seconds.
template <typename Predicate> bool WaitFor(Predicate done)
{
    Clock::time_point start = Clock::now();
    while (!done()) {
        if (MsSince(start) > 5000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What a test body records; the body can be held inside its call until the
// test opens the gate.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> gateOpen{true};
    std::mutex timesLock;
    std::vector<Clock::time_point> times;
};

int Body(void *arg)
{
    Probe *probe = static_cast<Probe *>(arg);
    {
        std::lock_guard<std::mutex> guard(probe->timesLock);
        probe->times.push_back(Clock::now());
    }
    probe->calls.fetch_add(1);
    while (!probe->gateOpen.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

int OtherBody(void *arg)
{
    static_cast<Probe *>(arg)->calls.fetch_add(1);
    return 0;
}

TEST(WorkerThread, StopOnNeverStartedObjectReturnsAtOnce)
{
    WorkerThread worker;
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.IsFinished());
    worker.Stop();
    EXPECT_FALSE(worker.HoldsThread());
    EXPECT_FALSE(worker.IsRunning());
}

TEST(WorkerThread, RunOnceEndsByItselfAndKeepsHandleUntilStop)
{
    Probe probe;
    WorkerThread worker;
    ClearSlices();
    ASSERT_EQ(0, worker.Start(&Body, &probe, true, 40));
    ASSERT_TRUE(WaitFor([&] { return worker.IsFinished(); }));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.HoldsThread());
    std::this_thread::sleep_for(std::chrono::milliseconds(60)); // longer than the period
    EXPECT_EQ(1, probe.calls.load());
    worker.Stop();
    EXPECT_FALSE(worker.HoldsThread());
    // Nothing to wait for: the thread never paused, so the stop only joined.
    EXPECT_TRUE(Slices().empty());
}

TEST(WorkerThread, RunOnceWithoutEntryFinishes)
{
    WorkerThread worker;
    ASSERT_EQ(0, worker.Start(nullptr, nullptr, true, 40));
    ASSERT_TRUE(WaitFor([&] { return worker.IsFinished(); }));
    EXPECT_FALSE(worker.IsRunning());
}

TEST(WorkerThread, StartWhileRunningChangesNothing)
{
    Probe probe;
    probe.gateOpen = false;
    Probe other;
    WorkerThread worker;
    ASSERT_EQ(0, worker.Start(&Body, &probe, false, 0));
    ASSERT_TRUE(WaitFor([&] { return probe.calls.load() == 1; }));

    // Other entry, argument and mode: refused, and the first thread carries
    // on in repeat mode.
    EXPECT_NE(0, worker.Start(&OtherBody, &other, true, 40));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_FALSE(worker.IsFinished());
    probe.gateOpen = true;
    EXPECT_TRUE(WaitFor([&] { return probe.calls.load() >= 3; }));
    worker.Stop();
    EXPECT_EQ(0, other.calls.load());
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.HoldsThread());
}

TEST(WorkerThread, StartAfterEndedJoinsAndRestarts)
{
    Probe probe;
    WorkerThread worker;
    ASSERT_EQ(0, worker.Start(&Body, &probe, true, 40));
    ASSERT_TRUE(WaitFor([&] { return worker.IsFinished(); }));

    probe.gateOpen = false;
    ASSERT_EQ(0, worker.Start(&Body, &probe, true, 40));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_FALSE(worker.IsFinished());
    EXPECT_TRUE(worker.HoldsThread());
    ASSERT_TRUE(WaitFor([&] { return probe.calls.load() == 2; }));
    probe.gateOpen = true;
    ASSERT_TRUE(WaitFor([&] { return worker.IsFinished(); }));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(2, probe.calls.load());
}

TEST(WorkerThread, StopWaitsForTheBodyToReturn)
{
    Probe probe;
    probe.gateOpen = false;
    WorkerThread worker;
    ASSERT_EQ(0, worker.Start(&Body, &probe, false, 100));
    ASSERT_TRUE(WaitFor([&] { return probe.calls.load() == 1; }));
    // Timed from before the opener exists: however the threads are
    // scheduled, the gate opens at least 50 ms after this.
    Clock::time_point start = Clock::now();
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        probe.gateOpen = true;
    });
    worker.Stop();
    EXPECT_TRUE(probe.gateOpen.load());  // the body had returned
    EXPECT_GE(MsSince(start), 45);
    opener.join();
    EXPECT_EQ(1, probe.calls.load()); // no further call after the stop
}

TEST(WorkerThread, ZeroOrNegativePeriodRunsBackToBack)
{
    for (int32_t period : {0, -5}) {
        Probe probe;
        WorkerThread worker;
        ASSERT_EQ(0, worker.Start(&OtherBody, &probe, false, period));
        // A single 300 ms slice between calls would need minutes for this.
        EXPECT_TRUE(WaitFor([&] { return probe.calls.load() >= 1000; })) << period;
        worker.Stop();
        int after = probe.calls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(after, probe.calls.load());
    }
}

TEST(WorkerThread, LongPauseIsSlicedAndStopEndsItWithinOneSlice)
{
    // 300 + 300 + 1 ms, not a last slice of a whole 300 ms.
    Probe probe;
    WorkerThread worker;
    ClearSlices();
    ASSERT_EQ(0, worker.Start(&Body, &probe, false, 601));
    ASSERT_TRUE(WaitFor([&] { return probe.calls.load() == 2; }));
    long pause;
    {
        std::lock_guard<std::mutex> guard(probe.timesLock);
        pause = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(probe.times[1] - probe.times[0]).count());
    }
    EXPECT_GE(pause, 595);
    std::vector<long> slices = Slices();
    ASSERT_GE(slices.size(), 3u);
    EXPECT_EQ((std::vector<long>{300, 300, 1}), std::vector<long>(slices.begin(), slices.begin() + 3));
    worker.Stop();

    // A stop in a long pause ends with the slice it lands in (or the one it
    // finds about to start), 18 slices before the pause would have run out.
    Probe waiting;
    WorkerThread sleeper;
    ClearSlices();
    ASSERT_EQ(0, sleeper.Start(&Body, &waiting, false, 6000));
    ASSERT_TRUE(WaitFor([&] { return waiting.calls.load() == 1; }));
    size_t before = Slices().size();
    sleeper.Stop();
    slices = Slices();
    EXPECT_LE(slices.size(), before + 1);
    for (long slice : slices)
        EXPECT_LE(slice, 300);
    EXPECT_EQ(1, waiting.calls.load());
}

TEST(WorkerThread, DestructorStopsARepeatingThread)
{
    Probe probe;
    {
        WorkerThread worker;
        ASSERT_EQ(0, worker.Start(&OtherBody, &probe, false, 100));
        ASSERT_TRUE(WaitFor([&] { return probe.calls.load() >= 1; }));
    }
    int after = probe.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(after, probe.calls.load());
}

} // namespace
