#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/worker_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

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
    ASSERT_EQ(0, worker.Start(&Body, &probe, true, 40));
    ASSERT_TRUE(WaitFor([&] { return worker.IsFinished(); }));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.HoldsThread());
    std::this_thread::sleep_for(std::chrono::milliseconds(60)); // longer than the period
    EXPECT_EQ(1, probe.calls.load());
    Clock::time_point start = Clock::now();
    worker.Stop();
    EXPECT_LT(MsSince(start), 100);
    EXPECT_FALSE(worker.HoldsThread());
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
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        probe.gateOpen = true;
    });
    Clock::time_point start = Clock::now();
    worker.Stop();
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
    Probe probe;
    WorkerThread worker;
    ASSERT_EQ(0, worker.Start(&Body, &probe, false, 700));
    ASSERT_TRUE(WaitFor([&] { return probe.calls.load() == 2; }));
    long pause;
    {
        std::lock_guard<std::mutex> guard(probe.timesLock);
        pause = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(probe.times[1] - probe.times[0]).count());
    }
    // 300 + 300 + 100 ms; loose upper bound for a busy machine.
    EXPECT_GE(pause, 695);
    EXPECT_LT(pause, 880);

    // Stop early in the first slice: the thread ends when that slice does,
    // well before the 700 ms pause would have run out.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Clock::time_point start = Clock::now();
    worker.Stop();
    long stopMs = MsSince(start);
    EXPECT_LT(stopMs, 500);
    EXPECT_EQ(2, probe.calls.load());
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
