// Camera alarms: snapshot, upload and report to the logic server, at most
// one every 30 seconds, for the first camera channel only. Runs on the SDK's
// data thread.
#include "logic/alarm_report.h"

#include <new>
#include <string>

#include "alarm/alarm_text.h"
#include "records/agent_settings.h"
#include "logic/server_logic.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/netlib.h"

namespace {
const unsigned int kSdkMotionAlarm = 0;
const unsigned int kSdkInputAlarm = 1;
const uint32_t kAlarmSpacingMs = 30000;
const int kSnapshotCapacity = 1048576;

// Frees the snapshot on every way out of an alarm.
struct SnapshotBuffer {
    SnapshotBuffer() : bytes(new (std::nothrow) unsigned char[kSnapshotCapacity]) {}
    ~SnapshotBuffer() { delete[] bytes; }
    SnapshotBuffer(const SnapshotBuffer &) = delete;
    SnapshotBuffer &operator=(const SnapshotBuffer &) = delete;
    unsigned char *bytes;
};
} // namespace

int AlarmDataCallback(unsigned int, unsigned int dataType, unsigned char *, unsigned int, void *userData)
{
    CServerLogic *session = static_cast<CServerLogic *>(userData);
    if (session == nullptr)
        return 0;
    if (dataType == kSdkMotionAlarm)
        session->ReportAlarm(kAlarmMotion);
    else if (dataType == kSdkInputAlarm)
        session->ReportAlarm(kAlarmInput);
    return 0;
}

int AlarmEventCallback(unsigned int, unsigned int, unsigned char *, unsigned int, void *)
{
    return 0;
}

int CServerLogic::ReportAlarm(int32_t kind)
{
    AlarmStatus &status = AgentStatus::instance().m_Alarms;
    Count(status.m_Seen);
    // Copies are taken now: the relay thread may assign a new id meanwhile,
    // and the upload below may take many seconds.
    CameraChannel *channel = FirstChannel();
    if (channel == nullptr)
        return 0;
    std::string sxtId = channel->GetSxtId();
    if (sxtId.empty())
        return 0;
    std::string cameraName = channel->GetCameraName();
    if (!m_LogicConn.IsConnected())
        return 0;
    int32_t now = MonotonicNowMs();
    if (m_AlarmPassed && ElapsedMs(now, m_AlarmMonotonicTime) <= kAlarmSpacingMs) {
        Count(status.m_RateLimited);
        return 0;
    }
    // From here on the alarm counts for the spacing, whatever follows.
    m_AlarmPassed = true;
    m_AlarmMonotonicTime = now;
    m_AlarmTime = NowMs();

    SnapshotBuffer snapshot;
    if (snapshot.bytes == nullptr)
        return 0;
    int size = 0;
    if (HI_NET_DEV_SnapJpeg(m_hDev, snapshot.bytes, kSnapshotCapacity, &size) != 0)
        return 0;
    // A size the buffer cannot hold would make the upload read past it.
    if (size < 0 || size > kSnapshotCapacity)
        return 0;

    char fileName[kSnapshotNameSize];
    if (FormatSnapshotName(fileName, sizeof(fileName), sxtId.c_str(), m_AlarmTime) < 0)
        return 0;
    AgentSettings &settings = AgentSettings::instance();
    bool uploaded =
        m_Uploader.HttpPostFile(settings.m_UploadUrl.Get().c_str(), snapshot.bytes, size, fileName) == 1;
    status.NoteUpload(uploaded);
    if (!uploaded)
        return 0;
    ConsolePrint("HttpPostFile \n");

    std::string userId = settings.m_UserId.Get();
    std::string nodeId = settings.m_NodeId.Get();
    std::string nodeName = settings.m_NodeName.Get();
    AlarmReportValues values;
    values.userId = userId.c_str();
    values.nodeId = nodeId.c_str();
    values.cameraId = sxtId.c_str();
    values.picture = fileName;
    values.nodeName = nodeName.c_str();
    values.cameraName = cameraName.c_str();
    char report[kAlarmReportSize];
    if (FormatAlarmReportText(report, sizeof(report), kind, values) >= 0 &&
        m_LogicConn.QueueText(report) != 0)
        Count(status.m_Reported);
    return 0;
}
