#ifndef ALARM_ALARM_TEXT_H
#define ALARM_ALARM_TEXT_H

#include <stddef.h>
#include <stdint.h>

// The texts of one alarm report, built without a session so they can be
// tested alone.

const size_t kSnapshotNameSize = 128;
const size_t kAlarmReportSize = 512;

// Alarm kinds as the session receives them from the SDK data callback.
const int32_t kAlarmMotion = 1;
const int32_t kAlarmInput = 2;

// The report's "msg" for an alarm kind, as GBK bytes; empty for any other
// kind.
const char *AlarmKindText(int32_t kind);

// "<relay id>_<alarm time as unsigned>.jpg" into a cleared buffer. Returns
// its length, or -1 (buffer cleared) when it does not fit.
int FormatSnapshotName(char *buf, size_t size, const char *sxtId, int32_t alarmTime);

struct AlarmReportValues {
    const char *userId;
    const char *nodeId;
    const char *cameraId;
    const char *picture;
    const char *nodeName;
    const char *cameraName;
};

// The logic link's alarm report for `kind` into a cleared buffer. Returns
// its length, or -1 (buffer cleared) when the values do not fit.
int FormatAlarmReportText(char *buf, size_t size, int32_t kind, const AlarmReportValues &values);

#endif
