// Per-item costs on a camera channel's relay link: queueing one video frame
// into a send slot, and carrying out one queued relay command. Both are timed
// call by call (manual time), so the work that keeps the benchmark going
// (freeing slots, queueing the next command) is not counted.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "records/agent_settings.h"
#include "bench/draining_peer.h"
#include "channel/camera_channel.h"
#include "net/tcp_connection.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/sdk_double.h"

namespace {

using Clock = std::chrono::steady_clock;

const int32_t kFrameBytes = 20 * 1024;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One 20 KB frame into a free slot of a connected relay-sized connection
// (204800-byte slots, 10 of them). When the slots video may take are used
// up (the last kControlReserve are kept for control packets) the queue is
// sent off, untimed.
void BM_QueueVideoFrame20KB(benchmark::State &state)
{
    DrainingPeer peer;
    TcpConnection conn;
    if (!ConnectToPeer(state, conn, peer, kRelaySlotSize, kRelaySlotCount))
        return;
    std::vector<unsigned char> payload(kFrameBytes);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i);
    uint32_t sequence = 0;
    for (auto _ : state) {
        WaitForVideoSlot(conn);
        ++sequence;
        Clock::time_point start = Clock::now();
        int queued = conn.QueueVideoFrame(640, 360, sequence, kRelayStreamKind, sequence % 100 == 1,
                                          payload.data(), kFrameBytes, sequence * 40);
        Clock::time_point end = Clock::now();
        benchmark::DoNotOptimize(queued);
        state.SetIterationTime(Seconds(end - start));
        if (queued != 1) {
            state.SkipWithError("frame not queued");
            break;
        }
    }
    SendAllQueued(conn);
    conn.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
// A fixed count: with manual time the untimed sending would otherwise stretch
// the run to many seconds of wall time.
BENCHMARK(BM_QueueVideoFrame20KB)->UseManualTime()->Iterations(100000)->Unit(benchmark::kMicrosecond);

// One pass of the command thread's step with a PTZ command waiting: take it
// from the queue, map the code, call the SDK (the recording test double).
// The command is queued untimed before each step, as the relay thread would.
void BM_CommandStepPtz(benchmark::State &state)
{
    sdk_double::Reset();
    AgentSettings::instance().ResetForTest();
    std::unique_ptr<CameraChannel> channel(new CameraChannel(nullptr, 0, 7));
    const std::string body =
        "0" + relay_test::RelayText(9, "\"PTZCommand\":\"3\"") + std::string(1, '\0');
    int64_t sinceClear = 0;
    for (auto _ : state) {
        CameraChannel::OnRelayPacket(body.data(), static_cast<int32_t>(body.size()), channel.get());
        Clock::time_point start = Clock::now();
        CameraChannel::CommandStep(channel.get());
        Clock::time_point end = Clock::now();
        state.SetIterationTime(Seconds(end - start));
        // The double keeps every call; keep its journal short, untimed.
        if (++sinceClear == 4096) {
            if (sdk_double::JournalMatching("PTZ 12292").size() != static_cast<size_t>(sinceClear)) {
                state.SkipWithError("a step did not reach the camera");
                break;
            }
            sdk_double::ClearJournal();
            sinceClear = 0;
        }
    }
    channel->StopSdkStream();
    channel.reset();
}
BENCHMARK(BM_CommandStepPtz)->UseManualTime()->Iterations(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
