#ifndef CHANNEL_CAMERA_CHANNEL_H
#define CHANNEL_CAMERA_CHANNEL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <string>

#include "records/agent_status.h"
#include "channel/camera_notify.h"
#include "net/tcp_connection.h"
#include "protocol/message.h"
#include "runtime/backoff.h"
#include "runtime/mutex.h"
#include "runtime/wake_signal.h"
#include "runtime/worker_thread.h"

const int32_t kRelaySlotSize = 204800;
const uint32_t kRelayHeartbeatMs = 10000;  // heartbeat after longer than this
const uint32_t kRelaySlotCount = 10;
const size_t kMaxPendingRelayRequests = 16;
// Relay commands waiting for the command thread, which carries out ten a
// second at most.
const size_t kMaxQueuedCommands = 32;

// One channel of the local camera towards the cloud: its relay link, the
// relay server's commands and the live video it forwards.
class CameraChannel {
public:
    CameraChannel(ICameraNotify *owner, int32_t index, uint32_t hDev);
    ~CameraChannel();  // the caller stops the SDK stream first
    CameraChannel(const CameraChannel &) = delete;
    CameraChannel &operator=(const CameraChannel &) = delete;

    // Appends a copy of a relay request (kind 1) and wakes the relay thread.
    // A request whose relay id the relay login cannot hold is refused here,
    // with a console line, and changes nothing.
    void PostRelayRequest(const NotifyEvent &event);
    // Whether the relay login can carry this relay id.
    static bool RelayIdFits(const std::string &sxtId);

    // Safe copies for other threads (the alarm report).
    std::string GetSxtId() const;
    std::string GetCameraName() const;
    int32_t Index() const { return m_Index; }

    // Read-only views of the shared state, for tests and diagnostics.
    bool IsRelayConnected() const { return m_RelayConn.IsConnected(); }
    bool IsForwarding() const { return m_Forwarding.load(); }
    uint32_t FrameSeq() const { return m_FrameSeq.load(); }
    size_t PendingCommandCount();
    size_t PendingRequestCount();

    // Relay link (relay_loop.cpp). The login is sent by the relay thread
    // only; the heartbeat and status report from any thread.
    static int RelayLoop(void *channel);
    int32_t SendRelayLogin();
    int32_t SendRelayHeartbeat();
    int32_t SendRelayStatus();

    // Relay commands (relay_commands.cpp).
    static void OnRelayPacket(const char *body, int32_t length, void *channel);
    // Entry of the command thread: sleeps until a command is queued, carries
    // it out, and keeps 100 ms between two commands.
    static int CommandLoop(void *channel);
    // Carries out the oldest queued command, if any; 1 when there was one.
    static int CommandStep(void *channel);
    void PtzControl(int32_t n);
    void SetDeviceTime(const std::string &text);

    // Media (media_forwarding.cpp).
    int32_t ApplyVideoQuality(const std::string &level);
    int32_t StartSdkStream(bool mainStream);
    void StopSdkStream();
    static int OnStreamData(unsigned int handle, unsigned int dataType, unsigned char *data,
                            unsigned int length, void *userData);
    void ForwardFrame(const unsigned char *payload, uint32_t n, bool keyFrame, uint32_t timeStamp);
    // Milliseconds until the camera's own next key frame, by its rhythm so
    // far; 0 when not known or overdue.
    int64_t OwnKeyFrameInMs(int64_t now) const;

private:
    // The relay loop's own times (MonotonicNowMs readings).
    struct RelayLinkTimes {
        int32_t heartbeat = 0;  // last heartbeat queued, or the connect
        int32_t connected = 0;  // last connect
        // Frames dropped for the uplink: counted so far, and at the last
        // console line about them (MonotonicMs; 0: none yet).
        uint32_t dropsSeen = 0;
        uint32_t dropsSaid = 0;
        int64_t saidAt = 0;
        // The last key frame asked of the camera, and when the video the
        // kernel holds will have left (MonotonicMs; 0: none).
        int64_t keyAskedAt = 0;
        int64_t keyBacklogLeftAt = 0;
        // Paces reconnects while the relay server fails.
        Backoff backoff{kReconnectFirstMs, kReconnectCapMs};
    };

    void RunRelayLoop();
    bool HasRelayAddress() const;
    bool ComeUp(RelayLinkTimes *link);
    // Connects when the link is down and its retry is due; true when a
    // connect was tried.
    bool TryRelay(RelayLinkTimes *link, bool *announced);
    void NoteRelayLoss(RelayLinkTimes *link);
    void ServeLink(RelayLinkTimes *link);
    // Queues the heartbeat when it is due, or when the link asks for
    // control before a video packet that would otherwise hold it back.
    void KeepHeartbeat(RelayLinkTimes *link, bool early);
    // After frames were dropped for the uplink: asks the camera for a key
    // frame once the link has room for it, at a bounded rate.
    void AskForKeyFrame(RelayLinkTimes *link);
    bool WaitingForKeyFrame() const;
    // Stream thread: each frame the camera hands over while forwarding (its
    // size, and its time when it is a key frame), and whether the relay
    // link refused the last frame on a link that is up.
    void NoteCameraFrame(uint32_t n, bool keyFrame);
    void NoteCameraKeyFrame();
    void NoteUplinkSkipping(bool skipping);
    bool TakeRelayRequest(NotifyEvent *request);
    void AssignRelay(const MessageFields &fields);
    bool ConnectRelay();
    void WaitForForwarders();
    void PauseRelay(uint32_t ms);
    void NotifyOwner(const char *active);
    // Publishes the relay link's drops, delay and rate, and says on the
    // console, at most once in kUplinkLineMs, how many frames it dropped.
    void ReportUplink(RelayLinkTimes *link);
    int RelayWaitMs(const RelayLinkTimes &link) const;
    int64_t KeyRequestWaitMs(const RelayLinkTimes &link) const;
    void RunCommandLoop();
    bool AwaitCommands();
    void PauseCommands(int ms);
    void QueueCommand(ParsedMessage message);
    void CarryOut(const ParsedMessage &command);

    std::string m_SxtId;       // relay thread writes under m_RequestLock
    std::string m_CameraName;  // never changed
    int32_t m_Index;
    uint32_t m_hDev;
    ICameraNotify *m_Owner;
    std::string m_TransIp;     // relay thread writes under m_RequestLock
    std::string m_TransPort;   // relay thread writes under m_RequestLock
    WorkerThread m_RelayThread;
    TcpConnection m_RelayConn;
    WorkerThread m_CommandThread;
    Mutex m_CommandLock;
    std::deque<ParsedMessage> m_CommandQueue;  // under m_CommandLock
    // The command thread found the queue empty and waits for a post (not
    // for the end of its pause); under m_CommandLock.
    bool m_CommandThreadIdle;
    // Posted when a command arrives for the idle command thread, and at
    // teardown.
    WakeSignal m_CommandSignal;
    mutable Mutex m_RequestLock;
    std::deque<NotifyEvent> m_RequestQueue;
    std::atomic<uint32_t> m_Width;
    std::atomic<uint32_t> m_Height;
    std::atomic<uint32_t> m_FrameSeq;
    std::atomic<bool> m_Forwarding;
    std::atomic<int32_t> m_RelayRecvTime;  // MonotonicNowMs of the last packet
    std::atomic<bool> m_NeedKeyFrame;
    // The relay link refused a frame for the uplink; frames skipped while
    // waiting for the next key frame then count as dropped for it too.
    // Cleared when a frame is queued and when the link is made anew.
    std::atomic<bool> m_UplinkSkipping;
    std::atomic<uint32_t> m_UplinkSkipped;
    // The camera's own key frames (MonotonicMs; 0: none yet), written by
    // the stream thread: the last one nobody asked for, and the interval
    // between the last two such (its own rhythm); a request is outstanding.
    std::atomic<int64_t> m_LastOwnKeyMs;
    std::atomic<int64_t> m_OwnKeyIntervalMs;
    std::atomic<bool> m_KeyAsked;
    // Set by the destructor so the relay loop ends at the top of its next pass.
    std::atomic<bool> m_StopRequested;
    // True only once the relay login of the current connection is queued:
    // video must never reach a relay server ahead of the login.
    std::atomic<bool> m_LinkReady;
    // ForwardFrame calls in progress on the stream thread; the relay thread
    // lets them finish before it connects.
    std::atomic<int32_t> m_ForwardersInFlight;
    // This channel's counters for the status report (process-wide record).
    ChannelStatus &m_Status;
};

#endif
