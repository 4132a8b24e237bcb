#include "protocol/message.h"

#include <ctype.h>
#include <string.h>

namespace {
const char kTypeMarker[] = "\"msgType\":";
const char kParamsMarker[] = "\"params\":{";

// The first `c` in text[begin, end), or `end`.
size_t FindWithin(const std::string &text, char c, size_t begin, size_t end)
{
    const void *found = memchr(text.data() + begin, c, end - begin);
    return found == nullptr ? end : static_cast<size_t>(static_cast<const char *>(found) - text.data());
}

// text[begin, end) without its first and last character; one character
// gives "".
std::string StripEnds(const std::string &text, size_t begin, size_t end)
{
    return end - begin < 2 ? std::string() : text.substr(begin + 1, end - begin - 2);
}

// One "params" member, text[begin, end), cut at its first ':'. Read in
// place: a relay command's members cost one key and one value each.
void AddMember(const std::string &text, size_t begin, size_t end, MessageFields &fields)
{
    size_t colon = FindWithin(text, ':', begin, end);
    // An element without ':', that starts with ':' or whose only ':' ends
    // it has no usable key or value: skipped.
    if (colon == end || colon == begin || colon + 1 == end)
        return;
    // "k":: gives the value ":" rather than the empty text.
    bool bareColon = colon + 2 == end && text[colon + 1] == ':';
    fields.Set(StripEnds(text, begin, colon), bareColon ? std::string(":") : StripEnds(text, colon + 1, end));
}

int32_t DecimalWithin(const std::string &text, size_t begin, size_t end)
{
    size_t i = begin;
    while (i < end && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < end && isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}
} // namespace

const std::string &MessageFields::Get(const std::string &key) const
{
    static const std::string kEmpty;
    Map::const_iterator found = m_Items.find(key);
    return found == m_Items.end() ? kEmpty : found->second;
}

int32_t DecimalValue(const std::string &text)
{
    return DecimalWithin(text, 0, text.size());
}

std::vector<std::string> SplitString(const std::string &text, const char *separators)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t cut = text.find_first_of(separators, start);
        if (cut == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
}

ParsedMessage ParseMessage(const std::string &text)
{
    ParsedMessage result;
    size_t marker = text.find(kTypeMarker);
    if (marker == std::string::npos)
        return result;
    size_t comma = text.find(',', marker);
    if (comma == std::string::npos)
        return result;
    size_t typeStart = marker + sizeof(kTypeMarker) - 1;
    if (comma <= typeStart)
        return result;
    result.m_MsgType = DecimalWithin(text, typeStart, comma);

    size_t params = text.find(kParamsMarker);
    if (params == std::string::npos)
        return result;
    size_t bodyEnd = text.find('}', params);
    if (bodyEnd == std::string::npos)
        return result;
    // Members are cut at every ',' (n commas give n + 1 members).
    size_t start = params + sizeof(kParamsMarker) - 1;
    for (;;) {
        size_t cut = FindWithin(text, ',', start, bodyEnd);
        AddMember(text, start, cut, result.m_Fields);
        if (cut == bodyEnd)
            return result;
        start = cut + 1;
    }
}
