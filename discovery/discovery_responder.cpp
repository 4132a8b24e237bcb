#include "discovery/discovery_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "records/agent_settings.h"
#include "records/agent_status.h"
#include "discovery/answer_rate_limit.h"
#include "runtime/bounded_format.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/mutex.h"
#include "runtime/thread_name.h"

namespace {
const char kProbe[] = "SEARCH * QUILMAR";
const char kBroadcastAddress[] = "255.255.255.255";

// Closes the responder's socket on every way out.
class SocketGuard {
public:
    explicit SocketGuard(int fd) : m_Fd(fd) {}
    ~SocketGuard()
    {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;

private:
    int m_Fd;
};

// Formats the answer from the device id and address, read under their lock.
int FormatAnswerFromSettings(char *buf, size_t size)
{
    AgentSettings &settings = AgentSettings::instance();
    MutexGuard guard(settings.m_DevLock);
    return FormatDiscoveryAnswer(buf, size, settings.m_DevId.c_str(), settings.m_DevIp.c_str());
}

// Counts a probe the rate limit leaves unanswered, and says so on the
// console at most once a minute.
void NoteUnanswered(DiscoveryRateLimit *limit, int64_t now)
{
    AgentStatus &status = AgentStatus::instance();
    Count(status.m_DiscoveryUnanswered);
    if (limit->TakeNotice(now))
        ConsolePrint(
            "discovery: more than %d probes a second, %u unanswered so far (said at most once a minute)\n",
            static_cast<int>(1000 / kDiscoveryAnswerSpacingMs), Read(status.m_DiscoveryUnanswered));
}

// Answers one probe with the broadcast, or counts it when answers are
// already leaving at their highest rate.
void AnswerProbe(int fd, char *buffer, size_t size, const struct sockaddr_in &destination,
                 DiscoveryRateLimit *limit)
{
    int64_t now = MonotonicMs();
    if (!limit->TakeAnswer(now)) {
        NoteUnanswered(limit, now);
        return;
    }
    // An id and address too long for the buffer get no answer.
    int length = FormatAnswerFromSettings(buffer, size);
    if (length <= 0)
        return;
    if (sendto(fd, buffer, static_cast<size_t>(length), 0,
               reinterpret_cast<const struct sockaddr *>(&destination), sizeof(destination)) == length)
        Count(AgentStatus::instance().m_DiscoveryAnswers);
}
} // namespace

bool IsDiscoveryProbe(const char *datagram, size_t length)
{
    if (datagram == nullptr)
        return false;
    size_t textLength = strnlen(datagram, length);
    return textLength == sizeof(kProbe) - 1 && memcmp(datagram, kProbe, textLength) == 0;
}

int FormatDiscoveryAnswer(char *buf, size_t size, const char *devId, const char *devIp)
{
    if (buf == nullptr || size == 0 || devId == nullptr || devIp == nullptr)
        return -1;
    return FormatBounded(buf, size,
                         "00000{\"devId\":\"%s\",\"devType\":\"8\",\"devIndexs\":\"1\","
                         "\"ip\":\"IP:%s\"}0",
                         devId, devIp);
}

int32_t DiscoveryResponder(void *arg)
{
    (void)arg;
    NameThisThread("ca-discovery");
    return DiscoveryServe(kDiscoveryPort);
}

int32_t DiscoveryServe(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    SocketGuard guard(fd);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0)
        return -1;
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) != 0)
        return -1;

    struct sockaddr_in destination;
    memset(&destination, 0, sizeof(destination));
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    inet_pton(AF_INET, kBroadcastAddress, &destination.sin_addr);

    DiscoveryRateLimit limit;
    char buffer[kDiscoveryBufferSize];
    for (;;) {
        memset(buffer, 0, sizeof(buffer));
        struct sockaddr_in sender;
        socklen_t senderLength = sizeof(sender);
        // One byte short of the buffer, so what arrives is always followed
        // by a NUL and reads as a text: a datagram of the full 100 bytes
        // would otherwise leave none.
        ssize_t received = recvfrom(fd, buffer, sizeof(buffer) - 1, 0,
                                    reinterpret_cast<struct sockaddr *>(&sender), &senderLength);
        if (received < 0)
            return -1;
        if (received == 0 || !IsDiscoveryProbe(buffer, sizeof(buffer)))
            continue; // our own broadcast answer arrives here too
        AnswerProbe(fd, buffer, sizeof(buffer), destination, &limit);
    }
}
