#include "net/tcp_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "net/receive_framing.h"
#include "net/video_drop.h"
#include "net/wire_format.h"
#include "runtime/clock.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
// Linux 3.12 and later; older C library headers (uClibc-ng's among them)
// lack the name, and a kernel that lacks the option refuses it.
#ifndef TCP_NOTSENT_LOWAT
#define TCP_NOTSENT_LOWAT 25
#endif
// Bytes not yet acknowledged by the peer, sent or not.
#ifndef SIOCOUTQ
#define SIOCOUTQ TIOCOUTQ
#endif

namespace {

// Waits until `fd` is ready to write (or read) or shows an exceptional
// condition. select cannot take a descriptor at or above FD_SETSIZE (its
// bit sets would overflow), so such a descriptor is waited for with poll,
// whose error and hang-up reports count as ready, as they do for select.
// Returns the select-style result; *except may be null.
int WaitForSocket(int fd, bool forWrite, long seconds, long micros, bool *ready, bool *except)
{
    *ready = false;
    if (except != nullptr)
        *except = false;
    if (fd < FD_SETSIZE) {
        fd_set io;
        fd_set ex;
        FD_ZERO(&io);
        FD_ZERO(&ex);
        FD_SET(fd, &io);
        FD_SET(fd, &ex);
        struct timeval tv;
        tv.tv_sec = seconds;
        tv.tv_usec = micros;
        int rc = select(fd + 1, forWrite ? nullptr : &io, forWrite ? &io : nullptr,
                        except != nullptr ? &ex : nullptr, &tv);
        if (rc > 0) {
            *ready = FD_ISSET(fd, &io) != 0;
            if (except != nullptr)
                *except = FD_ISSET(fd, &ex) != 0;
        }
        return rc;
    }
    struct pollfd p;
    p.fd = fd;
    p.events = static_cast<short>((forWrite ? POLLOUT : POLLIN) | (except != nullptr ? POLLPRI : 0));
    p.revents = 0;
    long ms = seconds * 1000 + (micros + 999) / 1000;
    int rc = poll(&p, 1, static_cast<int>(ms));
    if (rc > 0) {
        *ready = (p.revents & ((forWrite ? POLLOUT : POLLIN) | POLLERR | POLLHUP)) != 0;
        if (except != nullptr)
            *except = (p.revents & POLLPRI) != 0;
    }
    return rc;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

void SetNonBlockingCloseOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int fdFlags = fcntl(fd, F_GETFD, 0);
    if (fdFlags >= 0)
        fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
}

}  // namespace

TcpConnection::TcpConnection()
    : m_SlotSize(0), m_SlotCount(0), m_OnReceive(nullptr), m_Context(nullptr), m_Socket(-1),
      m_Connected(false), m_RecvBuf(new unsigned char[kRecvBufferSize]), m_RecvFill(0),
      m_Sending(nullptr), m_SentBytes(0), m_SendingBusy(false), m_UnsentLimit(0), m_StaleVideoMs(0),
      m_DropToKey(false), m_BytesSent(0), m_VideoGap(false), m_VideoDropped(0), m_LastVideoDelayMs(-1),
      m_RateSampledMs(0), m_RateAcked(0), m_UplinkRate(0), m_WakePending(false), m_OwnerWaiting(false)
{
    // Without the pipe Wait still works, but only its time-out ends it.
    if (pipe(m_WakePipe) == 0) {
        SetNonBlockingCloseOnExec(m_WakePipe[0]);
        SetNonBlockingCloseOnExec(m_WakePipe[1]);
    } else {
        m_WakePipe[0] = -1;
        m_WakePipe[1] = -1;
    }
}

TcpConnection::~TcpConnection()
{
    Close();
    delete[] m_RecvBuf;
    if (m_WakePipe[0] >= 0)
        close(m_WakePipe[0]);
    if (m_WakePipe[1] >= 0)
        close(m_WakePipe[1]);
}

void TcpConnection::Setup(int32_t slotSize, uint32_t slotCount, ReceiveCallback onReceive, void *context)
{
    m_OnReceive = onReceive;
    m_Context = context;
    // Slots are made once: resizing them under queued packets would let a
    // producer write past a slot.
    if (m_SlotCount != 0)
        return;
    m_SlotSize = slotSize > 0 ? slotSize : 0;
    m_SlotCount = slotCount;
    m_Packets.AddSlots(m_SlotSize, slotCount);
}

void TcpConnection::SetLiveVideo(int unsentLimit, int64_t staleMs)
{
    m_UnsentLimit = unsentLimit;
    m_StaleVideoMs = staleMs;
}

namespace {

// Where the kernel refuses TCP_NOTSENT_LOWAT, a small send buffer bounds
// what it holds instead (the kernel doubles the figure, overhead included).
// It also bounds what one round trip can carry: about 16 KB, over 1 Mbit/s
// even at 100 ms, more than the video needs.
const int kFallbackSendBuffer = 8192;
std::atomic<bool> g_UnsentLimitRefusalSaid(false);

// The first IPv4 address of `host`; false (with the resolver's line on
// standard error when it failed) when there is none.
bool ResolveIPv4(const char *host, struct sockaddr_in *address)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *results = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &results);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        return false;
    }
    if (results == nullptr)
        return false;
    bool found = results->ai_family == AF_INET && results->ai_addr != nullptr &&
                 results->ai_addrlen >= sizeof(struct sockaddr_in);
    if (found)
        memcpy(address, results->ai_addr, sizeof(*address));
    freeaddrinfo(results);
    return found;
}

// Waits for a connect in progress to finish; true when it succeeded.
bool FinishConnect(int fd, int timeoutSec)
{
    bool writable = false;
    if (WaitForSocket(fd, true, timeoutSec > 0 ? timeoutSec : 0, 0, &writable, nullptr) <= 0)
        return false;
    if (!writable)
        return true;
    // A refused or reset connect shows up here or in SO_ERROR.
    char none = 0;
    if (send(fd, &none, 0, MSG_NOSIGNAL) < 0)
        return false;
    int error = 0;
    socklen_t length = sizeof(error);
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

int TcpConnection::Connect(const char *host, unsigned int port, int timeoutSec)
{
    // A caller that skipped Close would otherwise leak the old descriptor.
    if (m_Socket >= 0)
        Close();
    m_Connected.store(false, std::memory_order_release);
    struct sockaddr_in address;
    if (host == nullptr || !ResolveIPv4(host, &address))
        return 0;
    address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));

    m_Socket = socket(AF_INET, SOCK_STREAM, 0);
    if (m_Socket < 0) {
        m_Socket = -1;
        return 0;
    }
    int flags = fcntl(m_Socket, F_GETFL, 0);
    // A blocking socket would stall the owner inside send or recv.
    bool nonBlocking = flags >= 0 && fcntl(m_Socket, F_SETFL, flags | O_NONBLOCK) == 0;
    if (!nonBlocking ||
        (connect(m_Socket, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 &&
         !FinishConnect(m_Socket, timeoutSec))) {
        Close();
        return 0;
    }

    int sendBuffer = kSendBufferSize;
    setsockopt(m_Socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
    // Every send hands over whole packets, so there is nothing to gain from
    // Nagle's coalescing, and much to lose: once the peer delays its ACKs
    // (as a relay server does for a while after answering a heartbeat), the
    // tail of a video frame waits for the delayed ACK, milliseconds here
    // and up to hundreds on a real network.
    int noDelay = 1;
    setsockopt(m_Socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    ApplyUnsentLimit();
    // Set before the connected flag, which publishes them to producers.
    m_DropToKey = false;
    m_BytesSent = 0;
    m_VideoGap.store(false);
    m_RateSampledMs = 0;
    m_RateAcked = 0;
    m_UplinkRate = 0;
    m_Connected.store(true, std::memory_order_release);
    return 1;
}

int TcpConnection::EndOfRecord() const
{
    // The kernel checks its unsent limit only when a send starts a new
    // buffer, and would otherwise append a frame to a buffer not yet sent,
    // up to half the peer's window: each packet in a buffer of its own
    // keeps the unsent bytes near the limit.
    return m_UnsentLimit > 0 ? MSG_EOR : 0;
}

void TcpConnection::ApplyUnsentLimit()
{
    if (m_UnsentLimit <= 0)
        return;
    int limit = m_UnsentLimit;
    if (setsockopt(m_Socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &limit, sizeof(limit)) == 0)
        return;
    int error = errno;
    int sendBuffer = kFallbackSendBuffer;
    setsockopt(m_Socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
    if (!g_UnsentLimitRefusalSaid.exchange(true))
        printf("live video link: the kernel refuses TCP_NOTSENT_LOWAT (%s); its send buffer is cut to %d "
               "bytes instead, so video may wait there about a second longer on a thin uplink (said once)\n",
               strerror(error), kFallbackSendBuffer);
}

uint32_t TcpConnection::SampleUplinkRate()
{
    int64_t now = MonotonicMs();
    if (m_RateSampledMs != 0 && now - m_RateSampledMs < 1000)
        return m_UplinkRate;
    int unacked = 0;
    uint64_t sent = 0;
    {
        MutexGuard guard(m_SocketLock);
        if (m_Socket < 0 || ioctl(m_Socket, SIOCOUTQ, &unacked) != 0 || unacked < 0)
            return m_UplinkRate;
        sent = m_BytesSent;
    }
    uint64_t acked = sent - (static_cast<uint64_t>(unacked) < sent ? static_cast<uint64_t>(unacked) : sent);
    if (m_RateSampledMs != 0 && acked >= m_RateAcked)
        m_UplinkRate = static_cast<uint32_t>((acked - m_RateAcked) * 1000 / static_cast<uint64_t>(now - m_RateSampledMs));
    m_RateSampledMs = now;
    m_RateAcked = acked;
    return m_UplinkRate;
}

void TcpConnection::Close()
{
    PacketSlot *sending;
    {
        MutexGuard guard(m_SocketLock);
        m_Connected.store(false, std::memory_order_release);
        if (m_Socket >= 0) {
            shutdown(m_Socket, SHUT_RDWR);
            close(m_Socket);
            m_Socket = -1;
        }
        sending = m_Sending;
        m_Sending = nullptr;
        m_SentBytes = 0;
    }
    // New generation first: a producer that saw the connection up just
    // before the flag fell can no longer slip its packet in behind the
    // drain below.
    m_Packets.NewGeneration();
    while (PacketSlot *slot = m_Packets.Dequeue())
        m_Packets.ReturnSlot(slot);
    if (sending != nullptr)
        m_Packets.ReturnSlot(sending);
    m_SendingBusy.store(false, std::memory_order_release);
    m_RecvFill = 0;
}

int TcpConnection::PollSend(int timeoutUs) { return PollOnce(true, timeoutUs); }

int TcpConnection::PollReceive(int timeoutUs) { return PollOnce(false, timeoutUs); }

int TcpConnection::PollOnce(bool forSend, int timeoutUs)
{
    if (!m_Connected.load(std::memory_order_acquire))
        return 0;
    if (timeoutUs < 0)
        timeoutUs = 0;
    bool ready = false;
    bool except = false;
    int rc = WaitForSocket(m_Socket, forSend, timeoutUs / 1000000, timeoutUs % 1000000, &ready, &except);
    if (rc < 0) {
        // A signal is not a fault of the connection.
        if (errno == EINTR)
            return 1;
        Close();
        return 0;
    }
    if (rc == 0)
        return 1;
    if (ready) {
        if (forSend)
            SendStep();
        else
            ReceiveStep();
        return 1;
    }
    if (except) {
        Close();
        return 0;
    }
    return 0;
}

void TcpConnection::SendStep()
{
    bool failed;
    {
        MutexGuard guard(m_SocketLock);
        failed = !SendQueued();
    }
    if (failed)
        Close();
}

bool TcpConnection::SendQueued()
{
    while (m_Connected.load(std::memory_order_acquire)) {
        if (m_Sending == nullptr) {
            // Busy is raised before the queue shrinks, so "nothing queued
            // and nothing being sent" is never seen while a slot changes hands.
            m_SendingBusy.store(true, std::memory_order_release);
            PacketSlot *slot = m_Packets.Dequeue();
            if (slot == nullptr) {
                m_SendingBusy.store(false, std::memory_order_release);
                return true;
            }
            bool stale = slot->generation != m_Packets.Generation();
            if (stale)
                m_Packets.ReturnSlot(slot);
            // A dropped frame's slot is given back by DropQueuedVideo.
            if (stale || (slot->video && DropQueuedVideo(slot))) {
                m_SendingBusy.store(false, std::memory_order_release);
                continue;
            }
            m_Sending = slot;
            m_SentBytes = 0;
        }
        int32_t offered = m_Sending->length - m_SentBytes;
        ssize_t taken = send(m_Socket, m_Sending->data + m_SentBytes, static_cast<size_t>(offered),
                             MSG_DONTWAIT | MSG_NOSIGNAL | EndOfRecord());
        if (taken < 0)
            return WouldBlock(errno);  // a full socket buffer: the rest goes later
        m_SentBytes += static_cast<int32_t>(taken);
        m_BytesSent += static_cast<uint64_t>(taken);
        if (m_SentBytes == m_Sending->length) {
            if (m_Sending->video)
                NoteVideoSent(m_Sending->handedMs);
            m_Packets.ReturnSlot(m_Sending);
            m_Sending = nullptr;
            m_SentBytes = 0;
            m_SendingBusy.store(false, std::memory_order_release);
        }
        if (taken < offered)
            return true;
    }
    return true;
}

bool TcpConnection::DropQueuedVideo(PacketSlot *slot)
{
    VideoVerdict verdict =
        JudgeQueuedVideo(m_DropToKey, slot->keyFrame, MonotonicMs() - slot->handedMs, m_StaleVideoMs);
    if (verdict == kVideoSend) {
        if (slot->keyFrame)
            m_DropToKey = false;
        return false;
    }
    if (verdict == kVideoDropStale) {
        m_DropToKey = true;
        m_VideoGap.store(true);
    }
    m_VideoDropped.fetch_add(1, std::memory_order_relaxed);
    m_Packets.ReturnSlot(slot);
    return true;
}

void TcpConnection::NoteVideoSent(int64_t handedMs)
{
    int64_t delay = MonotonicMs() - handedMs;
    m_LastVideoDelayMs.store(static_cast<int32_t>(delay < 0 ? 0 : (delay > INT32_MAX ? INT32_MAX : delay)),
                             std::memory_order_relaxed);
}

int TcpConnection::SendDirect(const unsigned char *head, int32_t headLength, const void *payload, int32_t n,
                              PacketSlot *spare, uint32_t generation)
{
    MutexGuard guard(m_SocketLock);
    // Only on an idle link: anything queued or half sent must leave first.
    if (!m_Connected.load(std::memory_order_acquire) || generation != m_Packets.Generation() ||
        m_Sending != nullptr || m_Packets.QueuedCount() != 0)
        return kDirectNotSent;
    // After a drop only a key frame may be next; anything else goes the
    // queue's way, where it is dropped in turn.
    if (m_DropToKey && !spare->keyFrame)
        return kDirectNotSent;
    struct iovec parts[2];
    parts[0].iov_base = const_cast<unsigned char *>(head);
    parts[0].iov_len = static_cast<size_t>(headLength);
    parts[1].iov_base = const_cast<void *>(payload);
    parts[1].iov_len = static_cast<size_t>(n);
    struct msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = parts;
    message.msg_iovlen = n > 0 ? 2 : 1;
    ssize_t taken = sendmsg(m_Socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL | EndOfRecord());
    // A full socket or an error: the packet goes through the queue, where
    // the owner's send step meets the error and closes.
    if (taken <= 0)
        return kDirectNotSent;
    m_BytesSent += static_cast<uint64_t>(taken);
    m_DropToKey = false;
    if (taken == headLength + n) {
        NoteVideoSent(spare->handedMs);
        return kDirectSentWhole;
    }
    // The socket took part of the packet: the rest leaves from the spare
    // slot, as the packet being sent, before anything queued after it.
    memcpy(spare->data, head, static_cast<size_t>(headLength));
    if (n > 0)
        memcpy(spare->data + headLength, payload, static_cast<size_t>(n));
    spare->length = headLength + n;
    spare->generation = generation;
    m_Sending = spare;
    m_SentBytes = static_cast<int32_t>(taken);
    m_SendingBusy.store(true, std::memory_order_release);
    return kDirectSentPart;
}

void TcpConnection::ReceiveStep()
{
    if (!m_Connected.load(std::memory_order_acquire))
        return;
    ssize_t got = recv(m_Socket, m_RecvBuf + m_RecvFill, static_cast<size_t>(kRecvBufferSize - m_RecvFill),
                       MSG_DONTWAIT);
    if (got < 0 && WouldBlock(errno))
        return;
    // Zero: the peer closed, or the buffer is full of bytes nobody takes.
    if (got <= 0) {
        Close();
        return;
    }
    m_RecvFill += static_cast<int32_t>(got);
    if (m_OnReceive == nullptr)
        return;

    int32_t left = DeliverFrames(m_RecvBuf, kRecvBufferSize, m_RecvFill, m_OnReceive, m_Context);
    if (left < 0) {
        Close();
        return;
    }
    m_RecvFill = left;
}

short TcpConnection::WaitForEvents(int timeoutMs)
{
    if (timeoutMs < 0)
        timeoutMs = 0;
    struct pollfd fds[2];
    nfds_t count = 0;
    int wakeIndex = -1;
    int socketIndex = -1;
    if (m_WakePipe[0] >= 0) {
        fds[count].fd = m_WakePipe[0];
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        wakeIndex = static_cast<int>(count++);
    }
    if (m_Socket >= 0) {
        short events = POLLIN | POLLPRI;
        if (m_SendingBusy.load(std::memory_order_acquire) || m_Packets.QueuedCount() > 0)
            events |= POLLOUT;
        fds[count].fd = m_Socket;
        fds[count].events = events;
        fds[count].revents = 0;
        socketIndex = static_cast<int>(count++);
    }

    // Announce the wait before looking for a pending wake: a Wake either
    // comes before the exchange below (and is seen there, so the poll only
    // looks) or after the announcement (and writes to the pipe).
    m_OwnerWaiting.store(true);
    if (m_WakePending.exchange(false))
        timeoutMs = 0;
    int ready = poll(fds, count, timeoutMs);
    m_OwnerWaiting.store(false);
    // Take the wake before draining the pipe: a Wake from here on finds the
    // flag clear, sets it, and the next wait returns at once. Clearing it
    // after the drain instead would lose a Wake that lands in between.
    m_WakePending.exchange(false);
    if (ready <= 0)
        return 0;
    if (wakeIndex >= 0 && (fds[wakeIndex].revents & POLLIN) != 0) {
        // At most a byte or two are ever in the pipe: one read takes them.
        unsigned char drain[16];
        if (read(m_WakePipe[0], drain, sizeof(drain)) < 0) {
        }
    }
    return socketIndex >= 0 ? fds[socketIndex].revents : 0;
}

void TcpConnection::Wait(int timeoutMs) { WaitForEvents(timeoutMs); }

int TcpConnection::Service(int timeoutMs)
{
    short events = WaitForEvents(timeoutMs);
    if (!m_Connected.load(std::memory_order_acquire))
        return 0;
    if ((events & POLLPRI) != 0) {
        Close();
        return 0;
    }
    // Whatever a producer queued is offered at once, without asking poll
    // first: the socket almost always takes it, and when it does not, the
    // next wait watches for room.
    if (m_SendingBusy.load(std::memory_order_acquire) || m_Packets.QueuedCount() > 0)
        SendStep();
    // An error or hang-up shows up as a failing receive, which closes.
    if ((events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0)
        ReceiveStep();
    return m_Connected.load(std::memory_order_acquire) ? 1 : 0;
}

void TcpConnection::Wake()
{
    if (m_WakePending.exchange(true))
        return;
    if (!m_OwnerWaiting.load())
        return;
    if (m_WakePipe[1] >= 0) {
        unsigned char one = 1;
        // A full pipe already holds a wake; nothing else can go wrong here.
        if (write(m_WakePipe[1], &one, 1) < 0) {
        }
    }
}
