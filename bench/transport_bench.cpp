// Transport costs: loopback throughput of relay-sized video packets, and the
// CPU an idle connected connection costs while its owner loops on Wait.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/draining_peer.h"
#include "net/tcp_connection.h"

namespace {

const int32_t kPayload = 100 * 1024;
const int32_t kRelaySlotSize = 204800;
const uint32_t kRelaySlots = 10;

// The owner thread queues each frame as soon as a slot is free and drives
// the sends itself.
void BM_VideoThroughputOwnerQueues(benchmark::State &state)
{
    DrainingPeer peer;
    TcpConnection conn;
    if (!ConnectToPeer(state, conn, peer, kRelaySlotSize, kRelaySlots))
        return;
    std::vector<char> payload(kPayload, 'v');
    uint32_t sequence = 0;
    for (auto _ : state) {
        WaitForVideoSlot(conn);
        ++sequence;
        conn.QueueVideoFrame(1280, 720, sequence, kRelayStreamKind, sequence % 25 == 1, payload.data(),
                             kPayload, sequence * 40);
    }
    SendAllQueued(conn);
    if (!conn.IsConnected())
        state.SkipWithError("connection lost");
    conn.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kPayload + kVideoPacketOverhead));
}
BENCHMARK(BM_VideoThroughputOwnerQueues)->UseRealTime()->MinTime(2.0);

// A producer thread (as the camera's stream callback is) queues; the owner
// thread loops on Wait and the polls.
void BM_VideoThroughputProducerThread(benchmark::State &state)
{
    DrainingPeer peer;
    TcpConnection conn;
    if (!ConnectToPeer(state, conn, peer, kRelaySlotSize, kRelaySlots))
        return;
    // Only the benchmark needs this: the producer sleeps until a slot is
    // free instead of being refused.
    std::mutex slotLock;
    std::condition_variable slotFreed;
    std::atomic<bool> run(true);
    std::thread owner([&] {
        while (run.load()) {
            conn.Wait(100);
            conn.PollSend(0);
            conn.PollReceive(0);
            std::lock_guard<std::mutex> guard(slotLock);
            slotFreed.notify_one();
        }
    });
    std::vector<char> payload(kPayload, 'v');
    uint32_t sequence = 0;
    for (auto _ : state) {
        {
            std::unique_lock<std::mutex> guard(slotLock);
            slotFreed.wait(guard, [&] { return conn.FreeSlotCount() > kControlReserve; });
        }
        ++sequence;
        conn.QueueVideoFrame(1280, 720, sequence, kRelayStreamKind, sequence % 25 == 1, payload.data(),
                             kPayload, sequence * 40);
    }
    while (conn.IsConnected() && (conn.QueuedCount() > 0 || !conn.IsSendIdle())) {
        std::unique_lock<std::mutex> guard(slotLock);
        slotFreed.wait(guard);
    }
    run.store(false);
    conn.Wake();
    owner.join();
    if (!conn.IsConnected())
        state.SkipWithError("connection lost");
    conn.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kPayload + kVideoPacketOverhead));
}
BENCHMARK(BM_VideoThroughputProducerThread)->UseRealTime()->MinTime(2.0);

double ProcessCpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A connected connection with nothing to send or receive, its owner looping
// on Wait with the argument as the time to its next deadline. Reports the
// whole process's CPU time as a share of one core.
void BM_IdleConnectionCpu(benchmark::State &state)
{
    DrainingPeer peer;
    TcpConnection conn;
    if (!ConnectToPeer(state, conn, peer, 1024, 3))
        return;
    const int waitMs = static_cast<int>(state.range(0));
    double cpu = 0;
    double wall = 0;
    int64_t passes = 0;
    for (auto _ : state) {
        double cpuStart = ProcessCpuSeconds();
        auto wallStart = std::chrono::steady_clock::now();
        auto end = wallStart + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            conn.Wait(waitMs);
            conn.PollSend(0);
            conn.PollReceive(0);
            ++passes;
        }
        cpu += ProcessCpuSeconds() - cpuStart;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    }
    conn.Close();
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    state.counters["passes_per_s"] = static_cast<double>(passes) / wall;
}
BENCHMARK(BM_IdleConnectionCpu)->Arg(10)->Arg(100)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
