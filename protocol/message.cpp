#include "protocol/message.h"

#include <ctype.h>
#include <string.h>

namespace {
const char kTypeMarker[] = "\"msgType\":";
const char kParamsMarker[] = "\"params\":{";

// The first `c` in text[begin, end), or `end`.
size_t FindWithin(const char *text, char c, size_t begin, size_t end)
{
    const void *found = memchr(text + begin, c, end - begin);
    return found == nullptr ? end : static_cast<size_t>(static_cast<const char *>(found) - text);
}

// The first `marker` (a literal) in text[0, length), or `length`.
template <size_t N>
size_t FindMarker(const char *text, size_t length, const char (&marker)[N])
{
    const void *found = memmem(text, length, marker, N - 1);
    return found == nullptr ? length : static_cast<size_t>(static_cast<const char *>(found) - text);
}

// text[begin, end) without its first and last character; one character
// gives "".
std::string StripEnds(const char *text, size_t begin, size_t end)
{
    return end - begin < 2 ? std::string() : std::string(text + begin + 1, end - begin - 2);
}

// One "params" member, text[begin, end), cut at its first ':'. Read in
// place: a relay command's members cost one key and one value each.
void AddMember(const char *text, size_t begin, size_t end, MessageFields &fields)
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

int32_t DecimalWithin(const char *text, size_t begin, size_t end)
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
    return DecimalWithin(text.data(), 0, text.size());
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

ParsedMessage ParseMessage(const char *text, size_t length)
{
    ParsedMessage result;
    size_t marker = FindMarker(text, length, kTypeMarker);
    if (marker == length)
        return result;
    size_t comma = FindWithin(text, ',', marker, length);
    if (comma == length)
        return result;
    size_t typeStart = marker + sizeof(kTypeMarker) - 1;
    if (comma <= typeStart)
        return result;
    result.m_MsgType = DecimalWithin(text, typeStart, comma);

    size_t params = FindMarker(text, length, kParamsMarker);
    if (params == length)
        return result;
    size_t bodyEnd = FindWithin(text, '}', params, length);
    if (bodyEnd == length)
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
