// ParseMessage on arbitrary received texts, checked against a plain
// reading of the scanning rules: the type as atoi reads it, the first
// "params" object cut at its first '}', members cut at ',' and at their
// first ':', keys and values stripped of their first and last character.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "protocol/message.h"

namespace {

struct Expected {
    int32_t type = -1;
    std::map<std::string, std::string> fields;
    // Set when the text holds a member whose result is left open (one that
    // begins with ':' or whose only ':' ends it); the fields are then not
    // compared.
    bool open = false;
    // Set when the type text holds a number beyond 32 bits, where atoi
    // itself has no defined result.
    bool typeOverflows = false;
};

bool IsAtoiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading, with a flag for values outside 32 bits.
int32_t AtoiReading(const std::string &text, bool *overflows)
{
    size_t i = 0;
    while (i < text.size() && IsAtoiSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int64_t value = 0;
    *overflows = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) {
            *overflows = true;
            value = 2147483648LL;
        }
    }
    if (!negative && value == 2147483648LL)
        *overflows = true;
    return static_cast<int32_t>(negative ? -value : value);
}

std::string WithoutEnds(const std::string &text)
{
    return text.size() < 2 ? std::string() : text.substr(1, text.size() - 2);
}

Expected Scan(const std::string &text)
{
    static const std::string kType = "\"msgType\":";
    static const std::string kParams = "\"params\":{";
    Expected out;
    size_t type = text.find(kType);
    if (type == std::string::npos)
        return out;
    size_t comma = text.find(',', type);
    if (comma == std::string::npos || comma == type + kType.size())
        return out;
    out.type = AtoiReading(text.substr(type + kType.size(), comma - type - kType.size()),
                           &out.typeOverflows);
    size_t params = text.find(kParams);
    if (params == std::string::npos)
        return out;
    size_t end = text.find('}', params);
    if (end == std::string::npos)
        return out;
    std::string body = text.substr(params + kParams.size(), end - params - kParams.size());
    for (const std::string &member : fuzz::SplitAt(body, ',')) {
        size_t colon = member.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = member.substr(0, colon);
        std::string rest = member.substr(colon + 1);
        if (key.empty() || rest.empty()) {
            out.open = true;
            continue;
        }
        out.fields[WithoutEnds(key)] = rest == ":" ? rest : WithoutEnds(rest);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    ParsedMessage parsed = ParseMessage(text);
    Expected expected = Scan(text);

    if (!expected.typeOverflows)
        FUZZ_CHECK(parsed.m_MsgType == expected.type, "type %d, expected %d", parsed.m_MsgType,
                   expected.type);
    if (!expected.open) {
        FUZZ_CHECK(parsed.m_Fields.Items() == expected.fields, "fields differ: %zu parsed, %zu expected",
                   parsed.m_Fields.Size(), expected.fields.size());
    }
    for (const auto &item : parsed.m_Fields.Items())
        FUZZ_CHECK(parsed.m_Fields.Get(item.first) == item.second, "Get disagrees with the map");
    // The fuzzer learns any fixed key, so the absent key is made absent.
    std::string absent = "\x01";
    while (parsed.m_Fields.Has(absent))
        absent += '\x01';
    FUZZ_CHECK(parsed.m_Fields.Get(absent).empty(), "an absent key is not empty");

    // The type conversion alone, on the whole text.
    bool overflows = false;
    int32_t reading = AtoiReading(text, &overflows);
    if (!overflows)
        FUZZ_CHECK(DecimalValue(text) == reading, "DecimalValue %d, atoi reads %d", DecimalValue(text),
                   reading);
    return 0;
}
