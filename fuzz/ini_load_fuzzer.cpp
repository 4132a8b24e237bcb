// CIni's reading of a file (ReadFrom, which Load runs on the opened file)
// on arbitrary contents, served from memory by fmemopen; then GetValue for every section
// and key that the line-cutting rules give, compared with a plain reading
// of those rules: 255-byte reads, the first "\n" and "\r" removed, headers
// by their first "[" and "]", keys cut at the first space, values from
// three characters after the "=" to the first space.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runtime/ini.h"

namespace {

struct KeyLine {
    uint32_t block;  // the header it follows; 0 for the lines before any
    std::string_view key;
    std::string_view value;
};

// The reading of one file, in views into `text`: the lines as the reader
// leaves them, laid end to end. Reused from input to input.
struct Expected {
    std::string text;
    std::vector<std::string_view> blockNames;  // block 0 is the unnamed section
    std::vector<KeyLine> lines;
    fuzz::ViewTable<uint32_t> lastBlock;  // section name -> last block of that name
    fuzz::ViewTable<size_t> lastLine;     // (block, key) -> last line setting it
    // A line whose result is left open (a header with "]" before "[", or a
    // key line with fewer than two characters after its "=") makes the
    // content not comparable; it must still load without harm.
    bool open = false;
};

FUZZ_REFERENCE std::string_view CutAtSpace(std::string_view text)
{
    return text.substr(0, fuzz::Find(text, ' '));
}

// One read of a 256-byte line buffer: up to and including the next "\n",
// at most 255 bytes, seen up to a NUL, without its first "\n" and its first
// "\r". Appended to `out`, which has room for it.
FUZZ_REFERENCE std::string_view NextLine(std::string_view file, size_t *pos, std::string *out)
{
    size_t take = 0;
    while (take < 255 && *pos + take < file.size()) {
        ++take;
        if (file[*pos + take - 1] == '\n')
            break;
    }
    std::string_view raw = file.substr(*pos, take);
    *pos += take;
    raw = raw.substr(0, fuzz::Find(raw, '\0'));
    size_t newline = fuzz::Find(raw, '\n');
    size_t ret = fuzz::Find(raw, '\r');
    size_t start = out->size();
    for (size_t i = 0; i < raw.size(); ++i)
        if (i != newline && i != ret)
            out->push_back(raw[i]);
    return std::string_view(out->data() + start, out->size() - start);
}

// Headers by their first "[" and "]", keys cut at the first space, values
// from three characters after the "=" to the first space.
FUZZ_REFERENCE void ReadLine(std::string_view line, Expected *out)
{
    size_t open = fuzz::Find(line, '[');
    size_t close = fuzz::Find(line, ']');
    if (open != std::string_view::npos && close != std::string_view::npos) {
        if (close < open)
            out->open = true;
        else
            out->blockNames.push_back(line.substr(open + 1, close - open - 1));
        return;
    }
    size_t equals = fuzz::Find(line, '=');
    if (equals == std::string_view::npos)
        return;
    if (equals + 3 > line.size()) {
        out->open = true;
        return;
    }
    uint32_t block = static_cast<uint32_t>(out->blockNames.size() - 1);
    KeyLine keyLine{block, CutAtSpace(line.substr(0, equals)), CutAtSpace(line.substr(equals + 3))};
    out->lastLine.Put(block, keyLine.key, out->lines.size());
    out->lines.push_back(keyLine);
}

FUZZ_REFERENCE void Read(std::string_view file, Expected *out)
{
    out->text.clear();
    out->text.reserve(file.size());  // views into it stay valid
    out->blockNames.assign(1, std::string_view());
    out->lines.clear();
    out->lastLine.Reset(file.size());
    out->open = false;
    size_t pos = 0;
    while (pos < file.size())
        ReadLine(NextLine(file, &pos, &out->text), out);
    // A section read twice keeps only what its last header brought.
    out->lastBlock.Reset(out->blockNames.size());
    for (uint32_t b = 0; b < out->blockNames.size(); ++b)
        out->lastBlock.Put(0, out->blockNames[b], b);
}

FUZZ_REFERENCE bool LastOfItsName(const Expected &expected, uint32_t block)
{
    return *expected.lastBlock.Find(0, expected.blockNames[block]) == block;
}

// A view as a C string, in one of two buffers that outlive a GetValue call.
FUZZ_REFERENCE const char *CString(std::string_view text, int which)
{
    static char buffers[2][520];
    char *buffer = buffers[which];
    size_t n = text.size() < sizeof(buffers[0]) - 1 ? text.size() : sizeof(buffers[0]) - 1;
    for (size_t i = 0; i < n; ++i)
        buffer[i] = text[i];
    buffer[n] = '\0';
    return buffer;
}

FUZZ_REFERENCE void CheckKeys(CIni &ini, const Expected &expected)
{
    for (size_t i = 0; i < expected.lines.size(); ++i) {
        const KeyLine &line = expected.lines[i];
        std::string_view section = expected.blockNames[line.block];
        uint32_t last = *expected.lastBlock.Find(0, section);
        // A key that only an earlier header of the section brought is gone.
        if (last != line.block && !expected.open && expected.lastLine.Find(last, line.key) == nullptr)
            FUZZ_CHECK(ini.GetValue(CString(section, 0), CString(line.key, 1))[0] == '\0',
                       "a key of a section read again is kept");
        if (last != line.block || *expected.lastLine.Find(line.block, line.key) != i)
            continue;
        const char *value = ini.GetValue(CString(section, 0), CString(line.key, 1));
        std::string_view got(value);
        FUZZ_CHECK(got.size() <= 252, "value of %zu characters", got.size());
        if (!expected.open)
            FUZZ_CHECK(fuzz::Same(got, line.value), "[%s] %s = '%s', expected '%.*s'",
                       CString(section, 0), CString(line.key, 1), value,
                       static_cast<int>(line.value.size()), line.value.data());
    }
}

// A key that no line set reads as empty, in every section.
FUZZ_REFERENCE void CheckAbsentKeys(CIni &ini, const Expected &expected)
{
    static char absent[520];
    for (uint32_t b = 0; b < expected.blockNames.size(); ++b) {
        std::string_view name = expected.blockNames[b];
        if (!LastOfItsName(expected, b) || name.size() + 2 > sizeof(absent))
            continue;
        absent[0] = '\x01';
        for (size_t i = 0; i < name.size(); ++i)
            absent[i + 1] = name[i];
        absent[name.size() + 1] = '\0';
        if (expected.lastLine.Find(b, std::string_view(absent, name.size() + 1)) == nullptr)
            FUZZ_CHECK(ini.GetValue(CString(name, 0), absent)[0] == '\0', "an absent key is not empty");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;  // fmemopen needs a byte; nothing to read either way
    static Expected expected;
    CIni ini;
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
    FUZZ_CHECK(file != nullptr, "fmemopen: %s", strerror(errno));
    // A buffer of our own spares the stream a fresh (and, under ASan,
    // filled) allocation on every input.
    static char streamBuffer[BUFSIZ];
    setvbuf(file, streamBuffer, _IOFBF, sizeof(streamBuffer));
    ini.ReadFrom(file);
    fclose(file);
    Read(std::string_view(reinterpret_cast<const char *>(data), size), &expected);

    CheckKeys(ini, expected);
    if (!expected.open)
        CheckAbsentKeys(ini, expected);
    // The lookups the agent makes, whatever the file held.
    FUZZ_CHECK(strlen(ini.GetValue("user0", "username")) <= 252, "username too long");
    FUZZ_CHECK(strlen(ini.GetValue("user0", "password")) <= 252, "password too long");
    // The fuzzer learns any fixed name, so the absent section is made absent.
    static char absent[600];
    size_t n = 1;
    absent[0] = '\x02';
    while (n + 1 < sizeof(absent) && expected.lastBlock.Find(0, std::string_view(absent, n)) != nullptr)
        absent[n++] = '\x02';
    absent[n] = '\0';
    if (!expected.open)
        FUZZ_CHECK(ini.GetValue(absent, "username")[0] == '\0', "absent section not empty");
    return 0;
}
