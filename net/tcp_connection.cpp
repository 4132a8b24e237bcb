#include "net/tcp_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
#include "runtime/console.h"

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
      m_ControlRhythmMs(0), m_DropToKey(false), m_BytesSent(0), m_BacklogSince(0),
      m_BacklogMs(0), m_LinkPace(0), m_EarlierPace(0), m_PaceSeenMs(0), m_KeyStage(kKeyNone), m_KeyStartMs(0),
      m_KeyBytes(0), m_KeyLeaveMs(0), m_ControlDueMs(0),
      m_StreamRate(0), m_HeldForControl(false), m_ControlWanted(false),
      m_VideoHanded(0), m_KeyHanded(0), m_HandedSampled(0), m_KeyHandedSampled(0), m_VideoGap(false),
      m_VideoDropped(0), m_LastVideoDelayMs(-1),
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

void TcpConnection::SetLiveVideo(int unsentLimit, int64_t staleMs, int64_t controlRhythmMs)
{
    m_UnsentLimit = unsentLimit;
    m_StaleVideoMs = staleMs;
    m_ControlRhythmMs = controlRhythmMs;
}

void TcpConnection::ExpectControlWithin(int64_t ms)
{
    MutexGuard guard(m_SocketLock);
    int64_t due = MonotonicMs() + (ms > 0 ? ms : 0);
    // Control has gone since video was held for it: judge that video anew.
    if (due > m_ControlDueMs + kControlEarlyMs)
        m_HeldForControl = false;
    m_ControlDueMs = due;
}

bool TcpConnection::KeyFrameWouldMissControl()
{
    MutexGuard guard(m_SocketLock);
    if (m_Socket < 0 || m_KeyBytes == 0)
        return false;
    int64_t now = MonotonicMs();
    // A one-second pace sample can be a third too high on a thin link, and
    // the time the last key frame took to leave the agent misses what was
    // still in flight: take the longer, with the third added. Too long a
    // guess only moves the request to just after the heartbeat.
    int64_t leave = LeaveMs(m_KeyBytes, now) * 4 / 3;
    if (m_KeyLeaveMs > leave)
        leave = m_KeyLeaveMs;
    return KeyFrameWouldBeHeldBack(leave, CurrentPace(now));
}

int64_t TcpConnection::VideoBacklogMs()
{
    MutexGuard guard(m_SocketLock);
    if ((m_Sending != nullptr && m_Sending->video) || m_Packets.QueuedVideoCount() > 0)
        return -1;
    int64_t now = MonotonicMs();
    return m_Socket >= 0 ? LeaveMs(0, now) : 0;
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
        ConsoleError("getaddrinfo: %s\n", gai_strerror(rc));
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
    m_LinkPace = 0;
    m_EarlierPace = 0;
    m_PaceSeenMs = 0;
    m_KeyStage = kKeyNone;
    m_KeyBytes = 0;
    m_KeyLeaveMs = 0;
    m_ControlDueMs = 0;
    m_StreamRate = 0;
    m_BacklogSince = 0;
    m_BacklogMs = 0;
    m_ControlWanted.store(false);
    m_HeldForControl = false;
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
        ConsolePrint(
            "live video link: the kernel refuses TCP_NOTSENT_LOWAT (%s); its send buffer is cut to %d "
            "bytes instead, so video may wait there about a second longer on a thin uplink (said once)\n",
            strerror(error), kFallbackSendBuffer);
}

uint32_t TcpConnection::SampleUplinkRate()
{
    int64_t now = MonotonicMs();
    if (m_RateSampledMs != 0 && now - m_RateSampledMs < 1000)
        return m_UplinkRate;
    int64_t elapsed = m_RateSampledMs != 0 ? now - m_RateSampledMs : 0;
    MutexGuard guard(m_SocketLock);
    int unacked = 0;
    if (m_Socket < 0 || ioctl(m_Socket, SIOCOUTQ, &unacked) != 0 || unacked < 0)
        return m_UplinkRate;
    uint64_t sent = m_BytesSent;
    uint64_t acked = sent - (static_cast<uint64_t>(unacked) < sent ? static_cast<uint64_t>(unacked) : sent);
    bool measured = elapsed > 0 && acked >= m_RateAcked;
    // The kernel takes whole packets, so on a thin link the backlog may sit
    // in it rather than in the agent: still holding more than it passed on
    // in the last second, the link was the limit.
    bool kernelFull = measured && static_cast<uint64_t>(unacked) >= acked - m_RateAcked;
    if (measured)
        m_UplinkRate = static_cast<uint32_t>((acked - m_RateAcked) * 1000 / static_cast<uint64_t>(elapsed));
    m_RateSampledMs = now;
    m_RateAcked = acked;
    SampleStreamRate(elapsed);
    NoteLinkPace(now, measured ? elapsed : 0, kernelFull);
    return m_UplinkRate;
}

void TcpConnection::NoteLinkPace(int64_t now, int64_t elapsedMs, bool kernelFull)
{
    int64_t held = m_BacklogMs + (m_BacklogSince != 0 ? now - m_BacklogSince : 0);
    if (m_BacklogSince != 0)
        m_BacklogSince = now;
    m_BacklogMs = 0;
    // What the peer acknowledged is the link's pace only when the link,
    // not the video, set it: the socket held the agent back for at least
    // half of the time, or the kernel is full.
    if (elapsedMs <= 0 || (held * 2 < elapsedMs && !kernelFull))
        return;
    m_EarlierPace = now - m_PaceSeenMs <= kPaceFreshMs ? m_LinkPace : 0;
    m_LinkPace = m_UplinkRate;
    m_PaceSeenMs = now;
}

void TcpConnection::SampleStreamRate(int64_t elapsedMs)
{
    uint64_t handed = m_VideoHanded.load(std::memory_order_relaxed);
    uint64_t keyHanded = m_KeyHanded.load(std::memory_order_relaxed);
    if (elapsedMs > 0) {
        uint64_t ms = static_cast<uint64_t>(elapsedMs);
        int64_t sample = static_cast<int64_t>((handed - m_HandedSampled) * 1000 / ms);
        // Averaged over about eight samples, so that a key frame's burst
        // counts for its share of the key-frame interval. The first second
        // holds the start's key frame, which taken whole reads as a stream
        // the link cannot carry: the average starts from the frames between.
        uint64_t between = (handed - m_HandedSampled) - (keyHanded - m_KeyHandedSampled);
        if (m_StreamRate == 0)
            m_StreamRate = static_cast<int64_t>(between * 1000 / ms);
        else
            m_StreamRate = (7 * m_StreamRate + sample) / 8;
    }
    m_HandedSampled = handed;
    m_KeyHandedSampled = keyHanded;
}

bool TcpConnection::LinkHasRoom(int64_t now) const
{
    // No pace seen lately: the link was not the limit, so it had room. A
    // second's acknowledgements run a third low after a loss on a short
    // queue: the better of the last two samples judges the room.
    bool paceKnown = m_LinkPace > 0 && now - m_PaceSeenMs <= kPaceFreshMs;
    int64_t pace = m_EarlierPace > m_LinkPace ? m_EarlierPace : m_LinkPace;
    return !paceKnown || pace >= m_StreamRate;
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
        if (m_Sending == nullptr && !StartNextPacket())
            return true;
        int32_t offered = m_Sending->length - m_SentBytes;
        ssize_t taken = send(m_Socket, m_Sending->data + m_SentBytes, static_cast<size_t>(offered),
                             MSG_DONTWAIT | MSG_NOSIGNAL | EndOfRecord());
        if (taken < 0 && !WouldBlock(errno))
            return false;
        if (taken < 0) {
            NoteSocketFull();  // a full socket buffer: the rest goes later
            return true;
        }
        NoteSendProgress(static_cast<int32_t>(taken), offered);
        if (m_SentBytes == m_Sending->length)
            FinishSending();
        if (taken < offered)
            return true;
    }
    return true;
}

void TcpConnection::NoteSocketFull()
{
    if (m_BacklogSince == 0)
        m_BacklogSince = MonotonicMs();
    // The kernel holds a key frame and takes nothing more until it has
    // mostly left.
    if (m_KeyStage == kKeyInKernel)
        m_KeyStage = kKeyBlocking;
}

void TcpConnection::NoteKeyFrameStart(bool wholeTaken, int32_t length)
{
    m_KeyStartMs = MonotonicMs();
    m_KeyBytes = length;
    m_KeyStage = wholeTaken ? kKeyInKernel : kKeyLeaving;
}

void TcpConnection::NoteBytesTaken()
{
    // The first bytes the kernel takes after a key frame held it back: the
    // key frame has left, as far as the frames behind it are concerned.
    if (m_KeyStage != kKeyBlocking)
        return;
    m_KeyLeaveMs = MonotonicMs() - m_KeyStartMs;
    m_KeyStage = kKeyNone;
}

void TcpConnection::NoteBacklogEnd()
{
    if (m_BacklogSince != 0)
        m_BacklogMs += MonotonicMs() - m_BacklogSince;
    m_BacklogSince = 0;
}

bool TcpConnection::StartNextPacket()
{
    for (;;) {
        // Busy is raised before the queue shrinks, so "nothing queued and
        // nothing being sent" is never seen while a slot changes hands.
        m_SendingBusy.store(true, std::memory_order_release);
        PacketSlot *slot = m_Packets.Dequeue();
        if (slot == nullptr) {
            m_SendingBusy.store(false, std::memory_order_release);
            NoteBacklogEnd();
            return false;
        }
        VideoVerdict verdict = kVideoSend;
        if (slot->generation != m_Packets.Generation()) {
            m_Packets.ReturnSlot(slot);
            verdict = kVideoDropStale;
        } else if (slot->video) {
            verdict = DecideQueuedVideo(slot);  // gives back or puts back what it does not send
        }
        if (verdict == kVideoSend) {
            m_HeldForControl = false;
            StartSending(slot, 0);
            return true;
        }
        m_SendingBusy.store(false, std::memory_order_release);
        if (verdict == kVideoControlFirst)
            return false;
    }
}

VideoPace TcpConnection::CurrentPace(int64_t now) const
{
    VideoPace pace;
    pace.dropToKey = m_DropToKey;
    pace.staleMs = m_StaleVideoMs;
    // On a link that cannot carry the video the backlog behind a key frame
    // never drains: there a frame waited too long whatever it waited for.
    pace.keyLeaveMs = LinkHasRoom(now) ? m_KeyLeaveMs : 0;
    pace.controlDueInMs = m_ControlDueMs - now;
    pace.controlRhythmMs = m_ControlDueMs != 0 ? m_ControlRhythmMs : 0;
    return pace;
}

int64_t TcpConnection::LeaveMs(int32_t length, int64_t now) const
{
    int64_t pace = LeavePace(now);
    if (pace <= 0)
        return 0;
    // What the kernel still holds leaves first (on a thin link seconds'
    // worth, with the path's bottleneck), and so does control behind it.
    int held = 0;
    if (ioctl(m_Socket, SIOCOUTQ, &held) != 0 || held < 0)
        held = 0;
    int64_t ms = (static_cast<int64_t>(length) + held) * 1000 / pace;
    return ms > 0 ? ms : 1;
}

int64_t TcpConnection::LeavePace(int64_t now) const
{
    // A pace not seen lately (the link idled after drops, or has since
    // widened) still bounds it from below together with what the peer
    // acknowledged in the last second: taking it for unknown would let a
    // key frame start that keeps a heartbeat waiting seconds on a thin link.
    if (m_LinkPace <= 0)
        return 0;
    // A second's acknowledgements count whole segments, on a thin link a
    // third off either way: the lower of the last two keeps a heartbeat
    // from being promised too soon.
    if (now - m_PaceSeenMs <= kPaceFreshMs)
        return m_EarlierPace > 0 && m_EarlierPace < m_LinkPace ? m_EarlierPace : m_LinkPace;
    return m_LinkPace > static_cast<int64_t>(m_UplinkRate) ? m_LinkPace : static_cast<int64_t>(m_UplinkRate);
}

int64_t TcpConnection::VideoLeaveMs(bool keyFrame, int32_t length, int64_t now) const
{
    // A second in which nothing was acknowledged (an idle link) leaves the
    // pace unknown; a key frame then takes about as long as the last one
    // did, which keeps it from starting just before a heartbeat.
    int64_t ms = LeaveMs(length, now);
    return ms == 0 && keyFrame ? m_KeyLeaveMs : ms;
}

VideoVerdict TcpConnection::DecideQueuedVideo(PacketSlot *slot)
{
    int64_t now = MonotonicMs();
    QueuedVideo frame = {slot->keyFrame, now - slot->handedMs, VideoLeaveMs(slot->keyFrame, slot->length, now),
                         LeaveMs(0, now)};
    VideoVerdict verdict = JudgeQueuedVideo(frame, CurrentPace(now));
    if (verdict == kVideoSend) {
        if (slot->keyFrame)
            EndDropAtKeyFrame();
        return verdict;
    }
    if (verdict == kVideoControlFirst) {
        m_Packets.PutBack(slot);
        m_HeldForControl = true;
        m_ControlWanted.store(true);
        return verdict;
    }
    if (verdict == kVideoDropStale) {
        m_DropToKey = true;
        // A key frame already queued ends the gap for the frames after it.
        if (m_Packets.QueuedKeyFrames() == 0)
            m_VideoGap.store(true);
    }
    m_VideoDropped.fetch_add(1, std::memory_order_relaxed);
    m_Packets.ReturnSlot(slot);
    return verdict;
}

void TcpConnection::EndDropAtKeyFrame()
{
    // Frames after this key frame can be decoded again, whatever the
    // producer saw when it queued them.
    if (m_DropToKey)
        m_VideoGap.store(false);
    m_DropToKey = false;
}

void TcpConnection::StartSending(PacketSlot *slot, int32_t alreadySent)
{
    m_Sending = slot;
    m_SentBytes = alreadySent;
    if (slot->video && slot->keyFrame)
        NoteKeyFrameStart(false, slot->length);
}

void TcpConnection::NoteSendProgress(int32_t taken, int32_t offered)
{
    if (taken > 0 && m_SentBytes == 0)
        NoteBytesTaken();
    m_SentBytes += taken;
    m_BytesSent += static_cast<uint64_t>(taken);
    if (taken < offered)
        NoteSocketFull();
}

void TcpConnection::FinishSending()
{
    if (m_Sending->video) {
        NoteVideoSent(m_Sending->handedMs);
        if (m_Sending->keyFrame && m_KeyStage == kKeyLeaving)
            m_KeyStage = kKeyInKernel;
    }
    m_Packets.ReturnSlot(m_Sending);
    m_Sending = nullptr;
    m_SentBytes = 0;
    m_SendingBusy.store(false, std::memory_order_release);
}

void TcpConnection::NoteVideoSent(int64_t handedMs)
{
    int64_t delay = MonotonicMs() - handedMs;
    m_LastVideoDelayMs.store(static_cast<int32_t>(delay < 0 ? 0 : (delay > INT32_MAX ? INT32_MAX : delay)),
                             std::memory_order_relaxed);
}

bool TcpConnection::MaySendDirect(const PacketSlot *spare, uint32_t generation, int32_t length)
{
    // Only on an idle link: anything queued or half sent must leave first.
    if (!m_Connected.load(std::memory_order_acquire) || generation != m_Packets.Generation() ||
        m_Sending != nullptr || m_Packets.QueuedCount() != 0)
        return false;
    // After a drop only a key frame may be next; anything else goes the
    // queue's way, where it is dropped in turn.
    if (m_DropToKey && !spare->keyFrame)
        return false;
    // A packet that would keep control waiting, or a key frame that would
    // wait too long behind what the kernel holds, goes the queue's way too,
    // where the owner sends control first or drops it.
    int64_t now = MonotonicMs();
    QueuedVideo frame = {spare->keyFrame, 0, VideoLeaveMs(spare->keyFrame, length, now), LeaveMs(0, now)};
    return JudgeQueuedVideo(frame, CurrentPace(now)) == kVideoSend;
}

int TcpConnection::SendDirect(const unsigned char *head, int32_t headLength, const void *payload, int32_t n,
                              PacketSlot *spare, uint32_t generation)
{
    MutexGuard guard(m_SocketLock);
    if (!MaySendDirect(spare, generation, headLength + n))
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
    if (taken <= 0) {
        NoteSocketFull();
        return kDirectNotSent;
    }
    NoteBytesTaken();
    if (spare->keyFrame)
        EndDropAtKeyFrame();
    if (taken == headLength + n) {
        m_BytesSent += static_cast<uint64_t>(taken);
        NoteVideoSent(spare->handedMs);
        if (spare->keyFrame)
            NoteKeyFrameStart(true, headLength + n);
        return kDirectSentWhole;
    }
    // The socket took part of the packet: the rest leaves from the spare
    // slot, as the packet being sent, before anything queued after it.
    memcpy(spare->data, head, static_cast<size_t>(headLength));
    if (n > 0)
        memcpy(spare->data + headLength, payload, static_cast<size_t>(n));
    spare->length = headLength + n;
    spare->generation = generation;
    StartSending(spare, 0);
    NoteSendProgress(static_cast<int32_t>(taken), spare->length);
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
        // Video held back for control waits for that control (a producer's
        // wake) or the time-out, not for room in the socket.
        if (m_SendingBusy.load(std::memory_order_acquire) ||
            (m_Packets.QueuedCount() > 0 && !m_HeldForControl))
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
    if (m_WakePending.exchange(false)) {
        // Already woken: the poll only looks, and this is no wait to a
        // waker, which leaves a later wake to the next one.
        m_OwnerWaiting.store(false);
        timeoutMs = 0;
    }
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
