#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/message.h"

namespace {

typedef std::map<std::string, std::string> Fields;

const std::string kHead = R"({"TimeSep":-842150451,"appId":1,"clientType":8,"msgType":)";

// A complete envelope of the given type around the given params body.
std::string Envelope(const std::string &type, const std::string &body)
{
    return kHead + type + R"(,"params":{)" + body + R"(},"version":1})";
}

struct ParseCase {
    const char *name;
    std::string text;
    int32_t type;
    Fields fields;
};

// GoogleTest would otherwise print the case as its raw bytes, pointers
// included, in every listing: test names would change from build to build.
void PrintTo(const ParseCase &c, std::ostream *out)
{
    *out << c.name;
}

class ParseMessageCases : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseMessageCases, GivesTypeAndFields)
{
    const ParseCase &c = GetParam();
    ParsedMessage parsed = ParseMessage(c.text);
    EXPECT_EQ(c.type, parsed.m_MsgType);
    EXPECT_EQ(c.fields, parsed.m_Fields.Items());
}

const ParseCase kCases[] = {
    {"Heartbeat", kHead + R"(0,"version":1})", 0, {}},
    {"UserMessage",
     Envelope("2", R"("userId":"u1","nodeId":"node7","nodeName":"hall")"),
     2,
     {{"userId", "u1"}, {"nodeId", "node7"}, {"nodeName", "hall"}}},
    {"ColonsStayInValues",
     Envelope("1", R"("sysTime":"12:30:05","url":"http://h:80/a")"),
     1,
     {{"sysTime", "12:30:05"}, {"url", "http://h:80/a"}}},
    {"EmptyParams", Envelope("3", ""), 3, {}},
    {"TrailingCommaSkipped", Envelope("3", R"("a":"1",)"), 3, {{"a", "1"}}},
    {"ElementWithoutColonSkipped", Envelope("3", R"("a","b":"c")"), 3, {{"b", "c"}}},
    {"RepeatedKeyKeepsLast", Envelope("3", R"("k":"1","k":"2")"), 3, {{"k", "2"}}},
    {"CommaCutsValue", Envelope("3", R"("a":"x,y","b":"z")"), 3, {{"a", ""}, {"b", "z"}}},
    {"NestedObjectEndsBody", Envelope("3", R"("a":{"b":"c"},"d":"e")"), 3, {{"a", R"("b":"c)"}}},
    {"BlanksNotTrimmed", Envelope("3", R"("a" : "b")"), 3, {{R"(a")", R"("b)"}}},
    {"UnquotedNumbersLoseOuterDigits", Envelope("3", R"("n":123,"m":5,"o":)"), 3, {{"n", "2"}, {"m", ""}}},
    {"EscapesKept", Envelope("3", R"("a":"x\"y")"), 3, {{"a", R"(x\"y)"}}},
    {"EmptyKey", Envelope("3", R"("":"v")"), 3, {{"", "v"}}},
    {"DoubleColonGivesColon", Envelope("3", R"("k"::,"j":::)"), 3, {{"k", ":"}, {"j", ""}}},
    {"OneCharacterKeyAndValue", Envelope("3", R"(k:v)"), 3, {{"", ""}}},
    {"ElementsStartingWithColonSkipped", Envelope("3", R"(:"v",::,:,"a":"b")"), 3, {{"a", "b"}}},
    {"ElementEndingInItsOnlyColonSkipped", Envelope("3", R"("a":,"b":"c")"), 3, {{"b", "c"}}},
    {"KeysAreCaseSensitive", Envelope("3", R"("Id":"1","id":"2")"), 3, {{"Id", "1"}, {"id", "2"}}},
    {"NoTypeMarker", R"({"params":{"a":"b"},"version":1})", -1, {}},
    {"EmptyTypeIgnoresParams", kHead + R"(,"params":{"a":"b"},"version":1})", -1, {}},
    {"NoCommaAfterType", kHead + "5}", -1, {}},
    {"TypeWithoutParams", kHead + R"(7,"version":1})", 7, {}},
    {"ParamsWithoutClosingBrace", kHead + R"(7,"params":{"a":"b")", 7, {}},
    {"QuotedTypeGivesZero", kHead + R"("5","params":{"a":"b"},"version":1})", 0, {{"a", "b"}}},
    {"TypeReadLikeAtoi", kHead + R"( -12x,"version":1})", -12, {}},
    {"ExplicitMinusOne", Envelope("-1", R"("a":"b")"), -1, {{"a", "b"}}},
    {"TypeOverflowWraps", Envelope("4294967297", ""), 1, {}},
    // A params member named msgType ahead of the envelope's own is the one
    // that counts; its quoted value reads as 0.
    {"ParamsMsgTypeFirst",
     R"({"params":{"msgType":"9","cameraId":"3"},"msgType":16,"version":1})",
     0,
     {{"msgType", "9"}, {"cameraId", "3"}}},
    // The envelope's type and a params member of the same name both survive.
    {"ParamsMsgTypeAfterEnvelope",
     Envelope("16", R"("msgId":"7","msgType":"9")"),
     16,
     {{"msgId", "7"}, {"msgType", "9"}}},
    {"ParamsBeforeType", R"({"params":{"a":"b"},"msgType":2,"version":1})", 2, {{"a", "b"}}},
    {"NulAndTrailingBytesIgnored",
     Envelope("2", R"("userId":"u1")") + std::string("\0}{\"x\":\"y\"}", 11),
     2,
     {{"userId", "u1"}}},
    {"EmptyText", "", -1, {}},
};

INSTANTIATE_TEST_SUITE_P(Texts, ParseMessageCases, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ParseCase> &info) { return info.param.name; });

TEST(ParseMessage, NulInsideTextIsAnOrdinaryByte)
{
    std::string text = Envelope("2", std::string("\"a\":\"x\0y\"", 9));
    ParsedMessage parsed = ParseMessage(text);
    EXPECT_EQ(2, parsed.m_MsgType);
    EXPECT_EQ(std::string("x\0y", 3), parsed.m_Fields.Get("a"));
}

TEST(MessageFields, AbsentKeyReadsEmptyAndSetReplaces)
{
    MessageFields fields;
    EXPECT_EQ("", fields.Get("missing"));
    EXPECT_FALSE(fields.Has("missing"));
    fields.Set("k", "1");
    fields.Set("k", "2");
    MessageFields copy = fields;
    fields.Set("k", "3");
    EXPECT_EQ("2", copy.Get("k"));
    EXPECT_EQ(1u, copy.Size());
}

TEST(DecimalValue, ReadsLikeAtoi)
{
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"42", 42},
        {"  \t\n7", 7},
        {"+3", 3},
        {"-3", -3},
        {"- 3", 0},
        {"12ab34", 12},
        {"007", 7},
        {"\"5\"", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"99999999999999999999", 1661992959},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.value, DecimalValue(c.text)) << '"' << c.text << '"';
}

TEST(SplitString, KeepsEveryEmptyPiece)
{
    typedef std::vector<std::string> Pieces;
    EXPECT_EQ(Pieces({""}), SplitString("", ","));
    EXPECT_EQ(Pieces({"abc"}), SplitString("abc", ","));
    EXPECT_EQ(Pieces({"", ""}), SplitString(",", ","));
    EXPECT_EQ(Pieces({"", "a", "", "b", ""}), SplitString(",a,,b,", ","));
    EXPECT_EQ(Pieces({"1", "2", "3"}), SplitString("1;2;3", ";"));
    EXPECT_EQ(Pieces({"\"k\"", "\"12", "30", "05\""}), SplitString("\"k\":\"12:30:05\"", ":"));
    EXPECT_EQ(Pieces({"a", "b", "c"}), SplitString("a,b:c", ",:"));
    // n separators give n + 1 pieces.
    std::string many(1000, ';');
    EXPECT_EQ(1001u, SplitString(many, ";").size());
}

} // namespace
