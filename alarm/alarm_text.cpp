#include "alarm/alarm_text.h"

#include <stdio.h>
#include <string.h>

#include "protocol/templates.h"
#include "runtime/bounded_format.h"

namespace {
// The logic server shows these as they are: GBK, not UTF-8.
const char kMotionText[] = "\xD2\xC6\xB6\xAF\xD5\xEC\xB2\xE2";
const char kInputText[] = "\xCA\xE4\xC8\xEB\xB1\xA8\xBE\xAF";
} // namespace

const char *AlarmKindText(int32_t kind)
{
    if (kind == kAlarmMotion)
        return kMotionText;
    if (kind == kAlarmInput)
        return kInputText;
    return "";
}

int FormatSnapshotName(char *buf, size_t size, const char *sxtId, int32_t alarmTime)
{
    if (buf == nullptr || size == 0 || sxtId == nullptr)
        return -1;
    return FormatBounded(buf, size, "%s_%u.jpg", sxtId,
                         static_cast<unsigned int>(static_cast<uint32_t>(alarmTime)));
}

int FormatAlarmReportText(char *buf, size_t size, int32_t kind, const AlarmReportValues &values)
{
    return FormatAlarmReport(buf, size, values.userId, values.nodeId, values.cameraId, AlarmKindText(kind),
                             values.picture, values.nodeName, values.cameraName);
}
