// The relay server of tools/bench: reads a camera channel's relay link as
// fast as it can and notes, for every video packet, when its last byte
// arrived (CLOCK_MONOTONIC). Written in C++ so that the reader costs little
// of the machine's two cores and wakes quickly.
//
//   fast_relay PORT_FILE
// listens on 127.0.0.1 (ephemeral port, written to PORT_FILE) and takes
// commands on standard input, one per line, answering each with one JSON
// line on standard output:
//   login SECONDS   wait until a relay login has arrived
//   send TYPE       send the relay message TYPE (no params) to the agent
//   frames N SECONDS  wait until N video packets arrived since the last mark
//   mark            start a new measuring window
//   report          what arrived since the mark (counts, bytes, latency)
//   dump PATH       every video packet since the mark, one line each:
//                   sequence counter key payload_bytes handoff_us arrived_ns,
//                   then "# text TYPE arrived_ns" for each message text
//   quit
// Heartbeats from the agent are answered with a heartbeat.
//
// Synthetic frames of the simulated camera carry, at payload bytes 0-3, the
// camera's frame counter and at bytes 4-11 the monotonic time in
// microseconds at which the frame was handed to the agent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kHead[] = "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":";
const char kTail[] = "\"version\":1}";
const size_t kBufferSize = 8 << 20;
const uint32_t kMaxBody = 262140;

uint64_t MonotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint32_t Le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Le64(const unsigned char *p)
{
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

struct Frame {
    uint64_t arrivedNs;
    uint64_t handoffUs;
    uint32_t counter;
    uint32_t sequence;
    uint32_t payload;
    bool key;
};

struct Window {
    uint64_t startNs = 0;
    uint64_t bytes = 0;  // every byte read in the window, frames or not
    uint64_t texts = 0;
    std::vector<Frame> frames;
    std::vector<std::pair<int, uint64_t>> textTimes;  // message type, arrival
};

class Relay {
public:
    explicit Relay(int listenFd) : m_Listen(listenFd) { m_Window.frames.reserve(1 << 20); }

    void Serve()
    {
        std::vector<unsigned char> buf(kBufferSize);
        for (;;) {
            int fd = accept(m_Listen, nullptr, nullptr);
            if (fd < 0)
                return;
            {
                std::lock_guard<std::mutex> hold(m_Lock);
                m_Client = fd;
                ++m_Connections;
            }
            size_t fill = 0;
            for (;;) {
                ssize_t got = recv(fd, buf.data() + fill, buf.size() - fill, 0);
                if (got <= 0)
                    break;
                uint64_t now = MonotonicNs();
                fill += static_cast<size_t>(got);
                size_t at = 0;
                std::unique_lock<std::mutex> hold(m_Lock);
                m_Window.bytes += static_cast<uint64_t>(got);
                bool bad = false;
                while (fill - at >= 4) {
                    uint32_t length = Le32(buf.data() + at);
                    if (length > kMaxBody) {
                        bad = true;
                        break;
                    }
                    if (fill - at - 4 < length)
                        break;
                    OnBody(buf.data() + at + 4, length, now);
                    at += 4 + length;
                }
                hold.unlock();
                m_Changed.notify_all();
                if (bad)
                    break;
                if (at > 0) {
                    memmove(buf.data(), buf.data() + at, fill - at);
                    fill -= at;
                }
            }
            std::lock_guard<std::mutex> hold(m_Lock);
            close(fd);
            m_Client = -1;
        }
    }

    // Answers one command line; false ends the program.
    bool Command(const std::string &line)
    {
        char verb[32] = {0};
        double a = 0;
        double b = 0;
        int fields = sscanf(line.c_str(), "%31s %lf %lf", verb, &a, &b);
        std::string v = fields >= 1 ? verb : "";
        if (v == "dump") {
            Dump(line.size() > 5 ? line.substr(5) : "");
            return true;
        }
        if (v == "quit") {
            Answer("{\"ok\":true}");
            return false;
        }
        std::unique_lock<std::mutex> hold(m_Lock);
        if (v == "login") {
            bool ok = m_Changed.wait_for(hold, Seconds(a), [this] { return m_Logins > 0; });
            hold.unlock();
            Answer(ok ? "{\"ok\":true}" : "{\"ok\":false,\"error\":\"no relay login\"}");
        } else if (v == "send") {
            bool ok = m_Client >= 0 && SendText(m_Client, static_cast<int>(a));
            hold.unlock();
            Answer(ok ? "{\"ok\":true}" : "{\"ok\":false,\"error\":\"no relay link\"}");
        } else if (v == "frames") {
            WaitForFrames(hold, static_cast<size_t>(a), b);
        } else if (v == "mark") {
            m_Window = Window();
            m_Window.frames.reserve(1 << 20);
            m_Window.startNs = MonotonicNs();
            hold.unlock();
            Answer("{\"ok\":true}");
        } else if (v == "report") {
            AnswerReport(hold);
        } else {
            hold.unlock();
            Answer("{\"ok\":false,\"error\":\"unknown command\"}");
        }
        return true;
    }

private:
    // Writes the window's frames and text arrival times to a file, one line
    // each, for the benchmark's own statistics.
    void Dump(const std::string &path)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        std::vector<Frame> frames = m_Window.frames;
        std::vector<std::pair<int, uint64_t>> texts = m_Window.textTimes;
        hold.unlock();
        FILE *out = fopen(path.c_str(), "w");
        if (out == nullptr) {
            Answer("{\"ok\":false,\"error\":\"cannot write the dump\"}");
            return;
        }
        for (const Frame &f : frames)
            fprintf(out, "%u %u %d %u %llu %llu\n", f.sequence, f.counter, f.key ? 1 : 0, f.payload,
                    static_cast<unsigned long long>(f.handoffUs), static_cast<unsigned long long>(f.arrivedNs));
        for (const auto &t : texts)
            fprintf(out, "# text %d %llu\n", t.first, static_cast<unsigned long long>(t.second));
        fclose(out);
        Answer("{\"ok\":true}");
    }

    // Waits (holding m_Lock through `hold`) until the window has `want`
    // frames or `seconds` pass, and answers with the count.
    void WaitForFrames(std::unique_lock<std::mutex> &hold, size_t want, double seconds)
    {
        bool ok = m_Changed.wait_for(hold, Seconds(seconds), [&] { return m_Window.frames.size() >= want; });
        size_t have = m_Window.frames.size();
        hold.unlock();
        char out[96];
        snprintf(out, sizeof(out), "{\"ok\":%s,\"frames\":%zu}", ok ? "true" : "false", have);
        Answer(out);
    }

    // Answers with the window's report, from a copy taken under m_Lock.
    void AnswerReport(std::unique_lock<std::mutex> &hold)
    {
        uint64_t end = MonotonicNs();
        Window w = m_Window;
        int connections = m_Connections;
        uint64_t logins = m_Logins;
        uint64_t heartbeats = m_Heartbeats;
        hold.unlock();
        Answer(Report(w, end, connections, logins, heartbeats));
    }

    static std::chrono::milliseconds Seconds(double s)
    {
        return std::chrono::milliseconds(static_cast<int64_t>(s * 1000));
    }

    static void Answer(const std::string &json)
    {
        std::cout << json << std::endl;
    }

    static bool SendText(int fd, int type)
    {
        std::string text = std::string(kHead) + std::to_string(type) + "," + kTail;
        std::string frame(4, '\0');
        uint32_t length = static_cast<uint32_t>(text.size() + 2);
        for (int i = 0; i < 4; ++i)
            frame[i] = static_cast<char>(length >> (8 * i));
        frame += '0';
        frame += text;
        frame += '\0';
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Under m_Lock.
    void OnBody(const unsigned char *body, uint32_t length, uint64_t now)
    {
        if (length == 0)
            return;
        if (body[0] == 'V' && length >= 25) {
            const unsigned char *header = body + 1;
            const unsigned char *payload = body + 25;
            Frame f;
            f.arrivedNs = now;
            f.sequence = Le32(header + 12);
            f.key = (Le32(header + 16) & 1) != 0;
            f.payload = length - 25;
            f.counter = f.payload >= 12 ? Le32(payload) : 0;
            f.handoffUs = f.payload >= 12 ? Le64(payload + 4) : 0;
            m_Window.frames.push_back(f);
            return;
        }
        if (body[0] != '0')
            return;
        ++m_Window.texts;
        std::string text(reinterpret_cast<const char *>(body + 1), length - 1);
        size_t at = text.find("\"msgType\":");
        if (at == std::string::npos)
            return;
        int type = atoi(text.c_str() + at + 10);
        m_Window.textTimes.push_back(std::make_pair(type, now));
        if (type == 1) {
            ++m_Logins;
        } else if (type == 0) {
            ++m_Heartbeats;
            if (m_Client >= 0)
                SendText(m_Client, 0);
        }
    }

    static std::string Report(const Window &w, uint64_t end, int connections, uint64_t logins,
                              uint64_t heartbeats)
    {
        std::vector<int64_t> latency;
        latency.reserve(w.frames.size());
        uint64_t payloadBytes = 0;
        uint32_t gaps = 0;
        uint32_t keys = 0;
        uint32_t firstCounter = 0;
        uint32_t lastCounter = 0;
        uint64_t lastArrival = 0;
        for (size_t i = 0; i < w.frames.size(); ++i) {
            const Frame &f = w.frames[i];
            payloadBytes += f.payload;
            keys += f.key ? 1 : 0;
            if (i > 0 && f.sequence != w.frames[i - 1].sequence + 1)
                ++gaps;
            if (f.handoffUs != 0)
                latency.push_back(static_cast<int64_t>(f.arrivedNs / 1000) - static_cast<int64_t>(f.handoffUs));
            if (i == 0)
                firstCounter = f.counter;
            lastCounter = f.counter;
            lastArrival = f.arrivedNs;
        }
        std::sort(latency.begin(), latency.end());
        size_t over1ms = static_cast<size_t>(latency.end() - std::upper_bound(latency.begin(), latency.end(), 1000));
        auto pick = [&](double q) -> int64_t {
            if (latency.empty())
                return -1;
            size_t k = static_cast<size_t>(q * static_cast<double>(latency.size() - 1) + 0.5);
            return latency[std::min(k, latency.size() - 1)];
        };
        char out[1024];
        snprintf(out, sizeof(out),
                 "{\"ok\":true,\"window_s\":%.6f,\"bytes\":%llu,\"payload_bytes\":%llu,\"frames\":%zu,"
                 "\"key_frames\":%u,\"sequence_gaps\":%u,\"first_counter\":%u,\"last_counter\":%u,"
                 "\"last_arrival_s\":%.6f,\"texts\":%llu,\"latency_us\":{\"n\":%zu,\"min\":%lld,"
                 "\"p50\":%lld,\"p99\":%lld,\"max\":%lld,\"over_1ms\":%zu},\"connections\":%d,\"logins\":%llu,"
                 "\"heartbeats\":%llu}",
                 static_cast<double>(end - w.startNs) / 1e9, static_cast<unsigned long long>(w.bytes),
                 static_cast<unsigned long long>(payloadBytes), w.frames.size(), keys, gaps, firstCounter,
                 lastCounter, lastArrival != 0 ? static_cast<double>(lastArrival - w.startNs) / 1e9 : 0.0,
                 static_cast<unsigned long long>(w.texts), latency.size(),
                 static_cast<long long>(latency.empty() ? -1 : latency.front()),
                 static_cast<long long>(pick(0.50)), static_cast<long long>(pick(0.99)),
                 static_cast<long long>(latency.empty() ? -1 : latency.back()), over1ms, connections,
                 static_cast<unsigned long long>(logins), static_cast<unsigned long long>(heartbeats));
        return out;
    }

    int m_Listen;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    int m_Client = -1;
    int m_Connections = 0;
    uint64_t m_Logins = 0;
    uint64_t m_Heartbeats = 0;
    Window m_Window;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fast_relay PORT_FILE\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("fast_relay: listen");
        return 1;
    }
    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr || fprintf(f, "%u\n", ntohs(addr.sin_port)) < 0 || fclose(f) != 0 ||
        rename(tmp.c_str(), argv[1]) != 0) {
        perror("fast_relay: port file");
        return 1;
    }
    Relay relay(fd);
    std::thread reader([&] { relay.Serve(); });
    reader.detach();
    std::string line;
    while (std::getline(std::cin, line))
        if (!relay.Command(line))
            break;
    // The reader may sit in accept or recv; the process ends it.
    return 0;
}
