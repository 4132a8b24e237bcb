// The alarm report's texts on arbitrary values: the snapshot file name from
// the relay id and the alarm time, and the report from what the logic
// server sent (user, node and camera ids, names) and the picture name.
//
// Input: 4 bytes of alarm time and 1 byte of alarm kind, then up to six
// texts separated by NUL: user id, node id, camera id, picture, node name,
// camera name; the camera id is also the relay id of the file name.
//
// Checks: each text is the filled template when it and its NUL fit the
// fixed buffer, and otherwise the buffer is left cleared with -1.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "alarm/alarm_text.h"
#include "fuzz/fuzz_support.h"
#include "protocol/templates.h"

namespace {

void CheckResult(const char *what, const fuzz::ExactBuffer &buf, int length, const std::string &expected)
{
    if (expected.size() < buf.size()) {
        FUZZ_CHECK(length == static_cast<int>(expected.size()), "%s length %d, expected %zu", what, length,
                   expected.size());
        FUZZ_CHECK(memcmp(buf.data(), expected.c_str(), expected.size() + 1) == 0, "%s differs", what);
        return;
    }
    FUZZ_CHECK(length == -1, "%s of %zu characters formatted into %zu bytes", what, expected.size(),
               buf.size());
    for (size_t i = 0; i < buf.size(); ++i)
        FUZZ_CHECK(buf.data()[i] == 0, "a refused %s left bytes behind", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    int32_t alarmTime = static_cast<int32_t>(static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                                              (static_cast<uint32_t>(data[2]) << 16) |
                                              (static_cast<uint32_t>(data[3]) << 24));
    int32_t kind = static_cast<int8_t>(data[4]);
    std::vector<std::string> texts = fuzz::SplitAt(std::string(reinterpret_cast<const char *>(data + 5), size - 5), '\0');
    texts.resize(6);

    fuzz::ExactBuffer name(std::string(kSnapshotNameSize, 'x'));
    int nameLength = FormatSnapshotName(name.data(), name.size(), texts[2].c_str(), alarmTime);
    CheckResult("snapshot name", name, nameLength,
                texts[2] + "_" + std::to_string(static_cast<uint32_t>(alarmTime)) + ".jpg");

    const char *kindText = AlarmKindText(kind);
    FUZZ_CHECK(kindText != nullptr, "no text for kind %d", kind);
    if (kind != kAlarmMotion && kind != kAlarmInput)
        FUZZ_CHECK(kindText[0] == '\0', "kind %d has a text", kind);
    else
        FUZZ_CHECK(kindText[0] != '\0', "kind %d has no text", kind);

    AlarmReportValues values = {texts[0].c_str(), texts[1].c_str(), texts[2].c_str(),
                                texts[3].c_str(), texts[4].c_str(), texts[5].c_str()};
    fuzz::ExactBuffer report(std::string(kAlarmReportSize, 'x'));
    int reportLength = FormatAlarmReportText(report.data(), report.size(), kind, values);
    std::string expected = std::string(AGENT_ENVELOPE_HEAD) + "14,\"params\":{\"userId\":\"" + texts[0] +
                           "\",\"nodeId\":\"" + texts[1] + "\",\"cameraId\":\"" + texts[2] +
                           "\",\"kind\":\"1\",\"msg\":\"" + kindText + "\",\"picture\":\"" + texts[3] +
                           "\",\"nodeName\":\"" + texts[4] + "\",\"cameraName\":\"" + texts[5] +
                           "\",\"remark\":\"\"},\"version\":1}";
    CheckResult("alarm report", report, reportLength, expected);
    return 0;
}
