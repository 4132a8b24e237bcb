// ParseMessage on arbitrary received texts, checked against a plain
// reading of the scanning rules: the type as atoi reads it, the first
// "params" object cut at its first '}', members cut at ',' and at their
// first ':', keys and values stripped of their first and last character.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/message.h"

namespace {

typedef fuzz::ViewTable<std::string_view> FieldTable;

struct Expected {
    int32_t type = -1;
    // The members by key, a later one replacing the earlier.
    FieldTable fields;
    // Set when the text holds a member whose result is left open (one that
    // begins with ':' or whose only ':' ends it); the fields are then not
    // compared.
    bool open = false;
    // Set when the type text holds a number beyond 32 bits, where atoi
    // itself has no defined result.
    bool typeOverflows = false;
};

FUZZ_REFERENCE bool IsAtoiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading, with a flag for values outside 32 bits.
FUZZ_REFERENCE int32_t AtoiReading(std::string_view text, bool *overflows)
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

FUZZ_REFERENCE std::string_view WithoutEnds(std::string_view text)
{
    return text.size() < 2 ? std::string_view() : text.substr(1, text.size() - 2);
}

FUZZ_REFERENCE void AddMember(std::string_view member, Expected *out)
{
    size_t colon = fuzz::Find(member, ':');
    if (colon == std::string_view::npos)
        return;
    std::string_view key = member.substr(0, colon);
    std::string_view rest = member.substr(colon + 1);
    if (key.empty() || rest.empty()) {
        out->open = true;
        return;
    }
    out->fields.Put(0, WithoutEnds(key), rest.size() == 1 && rest[0] == ':' ? rest : WithoutEnds(rest));
}

// The type as atoi reads it, the first "params" object cut at its first
// '}', members cut at ',' and at their first ':', keys and values stripped
// of their first and last character.
FUZZ_REFERENCE void Scan(std::string_view text, Expected *out)
{
    out->type = -1;
    // At most one member per two bytes of text.
    out->fields.Reset(text.size() / 2 + 1);
    out->open = out->typeOverflows = false;
    const std::string_view kType = "\"msgType\":";
    const std::string_view kParams = "\"params\":{";
    size_t type = fuzz::FindText(text, kType);
    if (type == std::string_view::npos)
        return;
    size_t comma = fuzz::Find(text, ',', type);
    if (comma == std::string_view::npos || comma == type + kType.size())
        return;
    out->type = AtoiReading(text.substr(type + kType.size(), comma - type - kType.size()),
                            &out->typeOverflows);
    size_t params = fuzz::FindText(text, kParams);
    if (params == std::string_view::npos)
        return;
    size_t end = fuzz::Find(text, '}', params);
    if (end == std::string_view::npos)
        return;
    std::string_view body = text.substr(params + kParams.size(), end - params - kParams.size());
    for (;;) {
        size_t cut = fuzz::Find(body, ',');
        AddMember(body.substr(0, cut), out);
        if (cut == std::string_view::npos)
            break;
        body.remove_prefix(cut + 1);
    }
}

FUZZ_REFERENCE void CheckFields(const MessageFields &parsed, const FieldTable &expected)
{
    FUZZ_CHECK(parsed.Size() == expected.Count(), "%zu fields parsed, %zu expected", parsed.Size(),
               expected.Count());
    for (const auto &item : parsed.Items()) {
        const std::string_view *value = expected.Find(0, item.first);
        FUZZ_CHECK(value != nullptr && fuzz::Same(*value, item.second),
                   "field '%s' differs", item.first.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Expected expected;
    // libFuzzer's own copy of the input is exactly its size, so a read past
    // it is seen.
    const char *bytes = reinterpret_cast<const char *>(data);
    ParsedMessage parsed = ParseMessage(bytes, size);
    Scan(std::string_view(bytes, size), &expected);

    if (!expected.typeOverflows)
        FUZZ_CHECK(parsed.m_MsgType == expected.type, "type %d, expected %d", parsed.m_MsgType,
                   expected.type);
    if (!expected.open)
        CheckFields(parsed.m_Fields, expected.fields);
    if (parsed.m_Fields.Size() != 0) {
        const auto &first = *parsed.m_Fields.Items().begin();
        FUZZ_CHECK(&parsed.m_Fields.Get(first.first) == &first.second, "Get disagrees with the map");
    }
    // The fuzzer learns any fixed key, so the absent key is made absent.
    std::string absent = "\x01";
    while (parsed.m_Fields.Has(absent))
        absent += '\x01';
    FUZZ_CHECK(parsed.m_Fields.Get(absent).empty(), "an absent key is not empty");

    // The type conversion alone, on the whole text.
    std::string text(bytes, size);
    bool overflows = false;
    int32_t reading = AtoiReading(text, &overflows);
    if (!overflows)
        FUZZ_CHECK(DecimalValue(text) == reading, "DecimalValue %d, atoi reads %d", DecimalValue(text),
                   reading);
    return 0;
}
