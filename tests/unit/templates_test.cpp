#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>

#include "protocol/message.h"
#include "protocol/templates.h"

namespace {

const size_t kArea = 256;

// Formats into a 256-byte area prefilled with a marker, so that a refusal is
// seen to clear the area; returns the result and the text.
struct Formatted {
    int result;
    std::string text;
    bool restZero; // every byte after the text is zero
};

Formatted FormatInto(const std::function<int(char *, size_t)> &format, size_t size = kArea)
{
    char buf[kArea * 2 + 8];
    memset(buf, 'X', sizeof(buf));
    Formatted out;
    out.result = format(buf, size);
    out.text = std::string(buf, strnlen(buf, size));
    out.restZero = true;
    for (size_t i = out.text.size(); i < size; ++i)
        out.restZero = out.restZero && buf[i] == 0;
    if (buf[size] != 'X')
        out.restZero = false; // written past the area
    return out;
}

void ExpectText(const Formatted &f, const std::string &expected)
{
    EXPECT_EQ(expected, f.text);
    EXPECT_EQ(static_cast<int>(expected.size()), f.result);
    EXPECT_TRUE(f.restZero);
}

void ExpectRefused(const Formatted &f)
{
    EXPECT_EQ(-1, f.result);
    EXPECT_EQ("", f.text);
    EXPECT_TRUE(f.restZero);
}

TEST(Templates, FixedTexts)
{
    EXPECT_STREQ(R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,)"
                 R"("params":{"userName":""},"version":1})",
                 kDirectoryRequestText);
    EXPECT_STREQ(R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":0,"version":1})",
                 kHeartbeatText);
    EXPECT_STREQ(R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":10,)"
                 R"("params":{"status":"1"},"version":1})",
                 kRelayAck10Text);
    EXPECT_STREQ(R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":12,)"
                 R"("params":{"status":"1"},"version":1})",
                 kRelayAck12Text);
    EXPECT_STREQ("473920", kRelayPassword);
}

TEST(Templates, FilledTexts)
{
    ExpectText(FormatInto([](char *b, size_t s) { return FormatDevLogin(b, s, "00:11:22:AA:BB:CC"); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,)"
               R"("params":{"devId":"00:11:22:AA:BB:CC","devType":"8","devIndexs":"1"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatCameraState(b, s, "", ""); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":4,)"
               R"("params":{"cameraId":"","active":""},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatCameraState(b, s, "cam9", "1"); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":4,)"
               R"("params":{"cameraId":"cam9","active":"1"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatLogicRefusal(b, s, "", "", "", ""); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":16,)"
               R"("params":{"msgId":"","socketId":"","msgType":"","status":"0","cameraId":"",)"
               R"("errorMsg":"device not support"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatLogicRefusal(b, s, "7", "12", "9", "3"); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":16,)"
               R"("params":{"msgId":"7","socketId":"12","msgType":"9","status":"0","cameraId":"3",)"
               R"("errorMsg":"device not support"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) {
                   return FormatAlarmReport(b, s, "u1", "n2", "c3", "motion", "http://h/p.jpg", "hall",
                                            "door");
               }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":14,)"
               R"("params":{"userId":"u1","nodeId":"n2","cameraId":"c3","kind":"1","msg":"motion",)"
               R"("picture":"http://h/p.jpg","nodeName":"hall","cameraName":"door","remark":""},)"
               R"("version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatRelayLogin(b, s, "sxt5", kRelayPassword); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,)"
               R"("params":{"SxtId":"sxt5","PWD":"473920"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatRelayStatus(b, s, 1, 4, 0, 0, 1, 0); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":17,)"
               R"("params":{"status":"1","EnableQP":"1","ViedoQP":"4","PTZ":"0","Audio":"0",)"
               R"("AudioType":"2","SetTime":"1","Speak":"0"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatRelayStatus(b, s, 1, 5, 1, 0, 1, 0); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":17,)"
               R"("params":{"status":"1","EnableQP":"1","ViedoQP":"5","PTZ":"1","Audio":"0",)"
               R"("AudioType":"2","SetTime":"1","Speak":"0"},"version":1})");
    ExpectText(FormatInto([](char *b, size_t s) { return FormatVideoQualityAck(b, s, "3"); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":16,)"
               R"("params":{"ViedoQP":"3"},"version":1})");
}

TEST(Templates, ValuesAreInsertedUnescaped)
{
    ExpectText(FormatInto([](char *b, size_t s) { return FormatCameraState(b, s, "a\"b", "c\\d%s%n"); }),
               R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":4,)"
               R"("params":{"cameraId":"a"b","active":"c\d%s%n"},"version":1})");
}

TEST(Templates, SentTextsReadBackThroughTheParser)
{
    char buf[kArea];
    ASSERT_GT(FormatAlarmReport(buf, sizeof(buf), "u1", "n2", "c3", "m", "http://h:8/p", "hall", "door"), 0);
    ParsedMessage parsed = ParseMessage(buf);
    EXPECT_EQ(14, parsed.m_MsgType);
    EXPECT_EQ("http://h:8/p", parsed.m_Fields.Get("picture"));
    EXPECT_EQ("", parsed.m_Fields.Get("remark"));
    EXPECT_EQ(9u, parsed.m_Fields.Size());

    ASSERT_GT(FormatLogicRefusal(buf, sizeof(buf), "7", "12", "9", "3"), 0);
    parsed = ParseMessage(buf);
    EXPECT_EQ(16, parsed.m_MsgType);
    EXPECT_EQ("9", parsed.m_Fields.Get("msgType"));
    EXPECT_EQ("device not support", parsed.m_Fields.Get("errorMsg"));

    EXPECT_EQ(0, ParseMessage(kHeartbeatText).m_MsgType);
    EXPECT_EQ(0u, ParseMessage(kHeartbeatText).m_Fields.Size());
    EXPECT_EQ("", ParseMessage(kDirectoryRequestText).m_Fields.Get("userName"));
    EXPECT_EQ(1u, ParseMessage(kDirectoryRequestText).m_Fields.Size());
}

// The fixed texts of the camera state (108), device login (123) and refusal
// (180) leave 147, 132 and 75 characters for values in a 256-byte area.
TEST(Templates, LongestValuesThatFitAndFirstThatDoNot)
{
    for (size_t total : {147u, 148u}) {
        std::string id(total - 1, 'i');
        Formatted f = FormatInto([&](char *b, size_t s) { return FormatCameraState(b, s, id.c_str(), "1"); });
        if (total == 147) {
            EXPECT_EQ(255, f.result);
            EXPECT_TRUE(f.restZero);
        } else {
            ExpectRefused(f);
        }
    }
    for (size_t total : {132u, 133u}) {
        std::string id(total, 'd');
        Formatted f = FormatInto([&](char *b, size_t s) { return FormatDevLogin(b, s, id.c_str()); });
        if (total == 132)
            EXPECT_EQ(255, f.result);
        else
            ExpectRefused(f);
    }
    for (size_t total : {75u, 76u}) {
        std::string cam(total - 6, 'c');
        Formatted f = FormatInto(
            [&](char *b, size_t s) { return FormatLogicRefusal(b, s, "12", "34", "56", cam.c_str()); });
        if (total == 75)
            EXPECT_EQ(255, f.result);
        else
            ExpectRefused(f);
    }
}

TEST(Templates, RefusalsNeverTouchMemoryOutsideTheArea)
{
    ExpectRefused(
        FormatInto([](char *b, size_t s) { return FormatRelayStatus(b, s, 1, 4, 0, 0, 1, 0); }, 10));
    ExpectRefused(FormatInto([](char *b, size_t s) { return FormatVideoQualityAck(b, s, "3"); }, 1));
    EXPECT_EQ(-1, FormatVideoQualityAck(nullptr, 0, "3"));
    std::string huge(1000, 'p');
    ExpectRefused(FormatInto(
        [&](char *b, size_t s) { return FormatAlarmReport(b, s, "", "", "", "", huge.c_str(), "", ""); },
        512));
    // The exact fit of the relay login in a small area.
    const std::string login = R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":1,)"
                              R"("params":{"SxtId":"","PWD":""},"version":1})";
    ExpectText(FormatInto([](char *b, size_t s) { return FormatRelayLogin(b, s, "", ""); }, login.size() + 1),
               login);
    ExpectRefused(FormatInto([](char *b, size_t s) { return FormatRelayLogin(b, s, "", ""); }, login.size()));
}

} // namespace
