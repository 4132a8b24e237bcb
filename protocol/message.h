#ifndef PROTOCOL_MESSAGE_H
#define PROTOCOL_MESSAGE_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// The flat key/value map of a message's "params". An absent key reads as
// the empty text.
class MessageFields {
public:
    typedef std::map<std::string, std::string> Map;

    const std::string &Get(const std::string &key) const;
    void Set(std::string key, std::string value) { m_Items[std::move(key)] = std::move(value); }
    bool Has(const std::string &key) const { return m_Items.count(key) != 0; }
    size_t Size() const { return m_Items.size(); }
    const Map &Items() const { return m_Items; }

private:
    Map m_Items;
};

struct ParsedMessage {
    ParsedMessage() : m_MsgType(-1) {}
    int32_t m_MsgType; // -1 when the text has no usable type
    MessageFields m_Fields;
};

// Scans a received message text for its type and its "params" members. Never
// fails: what the text lacks is simply absent from the result. The text may
// hold NUL bytes; they are ordinary bytes.
ParsedMessage ParseMessage(const char *text, size_t length);
inline ParsedMessage ParseMessage(const std::string &text) { return ParseMessage(text.data(), text.size()); }

// Cuts `text` at every character of `separators`; n separators give n + 1
// pieces, empty pieces included.
std::vector<std::string> SplitString(const std::string &text, const char *separators);

// The decimal value of a text as atoi reads it (blanks skipped, optional
// sign, digits up to the first non-digit), without atoi's overflow hazard.
int32_t DecimalValue(const std::string &text);

#endif
