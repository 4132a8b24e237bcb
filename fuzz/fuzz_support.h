// Helpers shared by the libFuzzer targets.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Prints the message and aborts, which libFuzzer reports as a crash and
// saves the input that led to it.
[[noreturn]] void Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::Fail(__VA_ARGS__);                                                             \
    } while (0)

// Marks a target's own reading of the rules it checks. The fuzzer steers by
// the code under test, not by this second reading, whose branches and
// comparisons would otherwise cost more than that code. Such functions work
// on views with the plain loops below: whatever they call out of line (the
// standard library's searches and sorts, memcmp) is instrumented again.
#define FUZZ_REFERENCE __attribute__((no_sanitize("coverage")))

// The first `c` in `text` from `from` on, or npos.
FUZZ_REFERENCE inline size_t Find(std::string_view text, char c, size_t from = 0)
{
    for (size_t i = from; i < text.size(); ++i)
        if (text[i] == c)
            return i;
    return std::string_view::npos;
}

// The first `needle` in `text`, or npos.
FUZZ_REFERENCE inline size_t FindText(std::string_view text, std::string_view needle)
{
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && text[i + k] == needle[k])
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

FUZZ_REFERENCE inline bool Same(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// A map from (tag, key) to a value for FUZZ_REFERENCE code: open
// addressing over views into the input, a later Put of the same key
// replacing the earlier, its storage reused from input to input so that a
// check allocates nothing once it has seen its largest input.
template <typename Value>
class ViewTable {
public:
    // Empties the table with room for `entries` keys. Only the slots this
    // input needs are used and cleared, whatever the largest input left.
    FUZZ_REFERENCE void Reset(size_t entries)
    {
        m_Used = 16;
        while (m_Used < 2 * entries + 2)
            m_Used *= 2;
        if (m_Slots.size() < m_Used)
            m_Slots.resize(m_Used);
        for (size_t i = 0; i < m_Used; ++i)
            m_Slots[i].taken = false;
        m_Count = 0;
    }

    FUZZ_REFERENCE void Put(uint32_t tag, std::string_view key, const Value &value)
    {
        Slot &slot = m_Slots[SlotOf(tag, key)];
        if (!slot.taken)
            ++m_Count;
        slot = Slot{tag, key, value, true};
    }

    // The value under (tag, key), or nullptr.
    FUZZ_REFERENCE const Value *Find(uint32_t tag, std::string_view key) const
    {
        const Slot &slot = m_Slots[SlotOf(tag, key)];
        return slot.taken ? &slot.value : nullptr;
    }

    size_t Count() const { return m_Count; }

private:
    struct Slot {
        uint32_t tag;
        std::string_view key;
        Value value;
        bool taken;
    };

    FUZZ_REFERENCE size_t SlotOf(uint32_t tag, std::string_view key) const
    {
        uint32_t hash = (2166136261u ^ tag) * 16777619u;
        for (char c : key)
            hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        size_t mask = m_Used - 1;
        size_t i = hash & mask;
        while (m_Slots[i].taken && !(m_Slots[i].tag == tag && Same(m_Slots[i].key, key)))
            i = (i + 1) & mask;
        return i;
    }

    std::vector<Slot> m_Slots;
    size_t m_Used = 0;  // a power of two, at most m_Slots.size()
    size_t m_Count = 0;
};

// Moves the process into a network namespace of its own, where no address a
// fuzz input names (relay hosts, upload hosts, resolvers) can be reached.
// Must run before any thread starts, so every thread inherits it. Aborts
// when no namespace can be had: these targets never run on the real
// network. With `loopbackUp` the namespace's own lo is brought up.
void IsolateNetwork(bool loopbackUp);

// A TCP listener on 127.0.0.1 with an ephemeral port.
int ListenLoopback(uint16_t *port);
// One accepted connection within `timeoutMs`, non-blocking; -1 if none.
int AcceptWithin(int listener, int timeoutMs);
void SetNonBlocking(int fd);
// Appends whatever the socket holds right now; false once the peer closed
// or the socket failed.
bool DrainSocket(int fd, std::string *out);

// Splits `text` at every `separator` byte (n separators give n + 1 parts).
std::vector<std::string> SplitAt(const std::string &text, char separator);

// A heap copy of exactly the given bytes, so that AddressSanitizer sees a
// read one byte past them.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string &bytes);
    ExactBuffer(const char *bytes, size_t size);
    ~ExactBuffer() { delete[] m_Data; }
    ExactBuffer(const ExactBuffer &) = delete;
    ExactBuffer &operator=(const ExactBuffer &) = delete;
    const char *data() const { return m_Data; }
    char *data() { return m_Data; }
    size_t size() const { return m_Size; }

private:
    char *m_Data;
    size_t m_Size;
};

}  // namespace fuzz

#endif
