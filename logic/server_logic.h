#ifndef LOGIC_SERVER_LOGIC_H
#define LOGIC_SERVER_LOGIC_H

#include <stdint.h>

#include <deque>
#include <map>
#include <string>

#include "alarm/http_post_file.h"
#include "records/agent_status.h"
#include "channel/camera_channel.h"
#include "channel/camera_notify.h"
#include "logic/interface_query.h"
#include "net/tcp_connection.h"
#include "protocol/message.h"
#include "runtime/backoff.h"
#include "runtime/mutex.h"

const int kLogicSlotSize = 1024;
const uint32_t kLogicSlotCount = 3;

// The agent's session with the cloud logic server and the hub of the logic
// thread: the SDK login, the camera channels, the logic connection and the
// queue of events that other threads hand to it.
class CServerLogic : public ICameraNotify {
public:
    CServerLogic();
    ~CServerLogic() override;
    CServerLogic(const CServerLogic &) = delete;
    CServerLogic &operator=(const CServerLogic &) = delete;

    // ICameraNotify: appends a copy of the event, from any thread.
    void notify(const NotifyEvent &event) override;
    void PostEvent(const NotifyEvent &event);

    // Runs the session against the address in the settings until the
    // logic server has failed for long enough that the directory should be
    // asked again (about half a minute of failures); returns 1.
    int Run();
    // How long the logic thread waits before the next attempt (a directory
    // lookup after Run has returned); 0 when nothing has failed.
    uint32_t MsUntilLogicRetry();

    int SendHeartbeat();
    int SendDevLogin();
    int SendCameraState(const NotifyEvent &event);

    // Dispatcher (logic_dispatcher.cpp) and camera lists (camera_lists.cpp).
    void HandleMessage(const std::string &text);
    void ApplyCameraLists(const MessageFields &fields);

    // Camera login (camera_login.cpp). The forms without a query use the
    // system's network interfaces.
    int LoginDev();
    int LoginDev(IInterfaceQuery &query);
    int LoginSdk();
    int LoginSdk(IInterfaceQuery &query);
    void LogoutDev();

    // Alarm (alarm_report.cpp in this target).
    int ReportAlarm(int32_t kind);

    size_t PendingEventCount();
    // The channel with the lowest index, or null; safe from any thread.
    CameraChannel *FirstChannel();

private:
    bool TakeEvent(NotifyEvent *event);
    void HandleEvent(const NotifyEvent &event);
    // How long the run loop may wait before the event queue needs it.
    uint32_t EventWaitMs(int32_t now);
    // The run loop's own state between passes; times are MonotonicNowMs
    // readings.
    struct LogicLinkState {
        int32_t lastHeartbeat = 0;  // the last heartbeat queued
        bool heartbeatSent = false; // the first one is due at the first connect
        bool wasConnected = false;
    };
    // Connects when the link is down and its retry is due; false once the
    // logic server has failed for long enough that the directory should be
    // asked again.
    bool ReconnectLogic(LogicLinkState *link);
    // Counts a failed connect or a lost link; false as above.
    bool RetryLogicLater();
    void WaitForLogicRetry();
    void ServeLogic(LogicLinkState *link);

    // Login retries (kind 3) now in m_EventQueue, under m_EventLock. Kept
    // as a count rather than found by a scan: a server that answers the
    // login with "-2" over and over queues one retry per answer, and a
    // scan on every pass of the run loop would cost the square of them.
    size_t m_RetryEventCount;
    // Paces reconnects to the logic server; reset when it accepts the
    // device login, so a fleet that lost its server does not return in step.
    Backoff m_LogicBackoff;
    // Whether this outage's first directory lookup has been timed; cleared
    // with m_LogicBackoff.
    bool m_OutageLookupTimed;

public:
    // Fields in declaration order. All belong to the logic thread except
    // where a lock or another thread is named.
    Mutex m_EventLock;
    std::deque<NotifyEvent> m_EventQueue;  // under m_EventLock
    uint32_t m_hDev;
    TcpConnection m_LogicConn;
    int32_t m_LastRecvTime;  // MonotonicNowMs of the last message or connect
    std::map<int32_t, CameraChannel *> m_Channels;  // changed under m_ChannelsLock
    Mutex m_ChannelsLock;  // lets the alarm thread read m_Channels while the login fills it
    int32_t m_LoginRetryTime;  // MonotonicNowMs of the last "-2" answer
    // The last alarm that passed the 30 s spacing, alarm thread only: its
    // wall-clock time names the snapshot; the spacing counts from its
    // monotonic time, so that a clock set back cannot let alarms through.
    int32_t m_AlarmTime;
    int32_t m_AlarmMonotonicTime;
    bool m_AlarmPassed;  // false until the first alarm: no time is "none yet"
    CHttpUploader m_Uploader;
    LogicStatus &m_Status;  // the logic link's counters for the status report
};

// Receive callback of the logic connection.
void LogicMessageHandler(const char *body, int32_t length, void *context);

#endif
