#include "protocol/message.h"

#include <ctype.h>

namespace {
const char kTypeMarker[] = "\"msgType\":";
const char kParamsMarker[] = "\"params\":{";

// The text without its first and last character; one character gives "".
std::string StripEnds(const std::string &text)
{
    return text.size() < 2 ? std::string() : text.substr(1, text.size() - 2);
}

void AddMember(const std::string &element, MessageFields &fields)
{
    size_t colon = element.find(':');
    if (colon == std::string::npos)
        return;
    std::string key = element.substr(0, colon);
    std::string rest = element.substr(colon + 1);
    // An element that starts with ':' or whose only ':' ends it has no
    // usable key or value: skipped.
    if (key.empty() || rest.empty())
        return;
    // "k":: gives the value ":" rather than the empty text.
    std::string value = rest == ":" ? rest : StripEnds(rest);
    fields.Set(StripEnds(key), value);
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
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
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
    result.m_MsgType = DecimalValue(text.substr(typeStart, comma - typeStart));

    size_t params = text.find(kParamsMarker);
    if (params == std::string::npos)
        return result;
    size_t bodyStart = params + sizeof(kParamsMarker) - 1;
    size_t bodyEnd = text.find('}', params);
    if (bodyEnd == std::string::npos)
        return result;
    std::vector<std::string> elements = SplitString(text.substr(bodyStart, bodyEnd - bodyStart), ",");
    for (size_t i = 0; i < elements.size(); ++i)
        AddMember(elements[i], result.m_Fields);
    return result;
}
