#include <benchmark/benchmark.h>

#include <string>

#include "protocol/message.h"
#include "protocol/templates.h"

namespace {

// A typical logic server answer to the device login, NUL included as it
// arrives in its frame.
const std::string kLoginAnswer =
    std::string(R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,"params":{"status":"1",)"
                R"("Version":"2.4.17","sysTime":"2015-06-01 12:30:45",)"
                R"("updateUrl":"http://update.example.net/fw",)"
                R"("uploadUrl":"http://upload.example.net:8080/pic"},"version":1})") +
    std::string(1, '\0');

void BM_ParseLoginAnswer(benchmark::State &state)
{
    for (auto _ : state) {
        ParsedMessage parsed = ParseMessage(kLoginAnswer);
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kLoginAnswer.size()));
    state.counters["bytes"] = static_cast<double>(kLoginAnswer.size());
}
BENCHMARK(BM_ParseLoginAnswer);

void BM_ParseHeartbeat(benchmark::State &state)
{
    const std::string text = kHeartbeatText;
    for (auto _ : state) {
        ParsedMessage parsed = ParseMessage(text);
        benchmark::DoNotOptimize(parsed);
    }
}
BENCHMARK(BM_ParseHeartbeat);

void BM_FormatDevLogin(benchmark::State &state)
{
    char buf[256];
    for (auto _ : state) {
        int length = FormatDevLogin(buf, sizeof(buf), "00:11:22:AA:BB:CC");
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FormatDevLogin);

} // namespace

BENCHMARK_MAIN();
