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

#include <map>
#include <string>
#include <utility>

#include "fuzz/fuzz_support.h"
#include "runtime/ini.h"

namespace {

typedef std::map<std::string, std::string> Keys;

struct Expected {
    std::map<std::string, Keys> sections;
    // A line whose result is left open (a header with "]" before "[", or a
    // key line with fewer than two characters after its "=") makes the
    // content not comparable; it must still load without harm.
    bool open = false;
};

std::string CutAtSpace(const std::string &text)
{
    return text.substr(0, text.find(' '));
}

void EraseFirst(std::string *line, char c)
{
    size_t at = line->find(c);
    if (at != std::string::npos)
        line->erase(at, 1);
}

Expected Read(const std::string &file)
{
    Expected out;
    Keys pending;
    std::string section;
    size_t pos = 0;
    while (pos < file.size()) {
        // One read of a 256-byte line buffer: up to and including the next
        // "\n", at most 255 bytes.
        size_t take = 0;
        while (take < 255 && pos + take < file.size()) {
            ++take;
            if (file[pos + take - 1] == '\n')
                break;
        }
        std::string line = file.substr(pos, take);
        pos += take;
        line = line.c_str();  // the reader sees text up to a NUL
        EraseFirst(&line, '\n');
        EraseFirst(&line, '\r');
        size_t open = line.find('[');
        size_t close = line.find(']');
        if (open != std::string::npos && close != std::string::npos) {
            if (close < open) {
                out.open = true;
                continue;
            }
            out.sections[section] = std::move(pending);
            pending.clear();
            section = line.substr(open + 1, close - open - 1);
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        if (equals + 3 > line.size()) {
            out.open = true;
            continue;
        }
        pending[CutAtSpace(line.substr(0, equals))] = CutAtSpace(line.substr(equals + 3));
    }
    out.sections[section] = std::move(pending);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;  // fmemopen needs a byte; nothing to read either way
    CIni ini;
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
    FUZZ_CHECK(file != nullptr, "fmemopen: %s", strerror(errno));
    // A buffer of our own spares the stream a fresh (and, under ASan,
    // filled) allocation on every input.
    static char streamBuffer[BUFSIZ];
    setvbuf(file, streamBuffer, _IOFBF, sizeof(streamBuffer));
    ini.ReadFrom(file);
    fclose(file);
    Expected expected = Read(std::string(reinterpret_cast<const char *>(data), size));

    for (const auto &section : expected.sections) {
        for (const auto &key : section.second) {
            std::string value = ini.GetValue(section.first.c_str(), key.first.c_str());
            FUZZ_CHECK(value.size() <= 252, "value of %zu characters", value.size());
            if (!expected.open)
                FUZZ_CHECK(value == key.second, "[%s] %s = '%s', expected '%s'", section.first.c_str(),
                           key.first.c_str(), value.c_str(), key.second.c_str());
        }
        // A key that no line set reads as empty.
        std::string absent = std::string("\x01") + section.first;
        if (!expected.open && section.second.count(absent) == 0)
            FUZZ_CHECK(ini.GetValue(section.first.c_str(), absent.c_str())[0] == '\0',
                       "an absent key is not empty");
    }
    // The lookups the agent makes, whatever the file held.
    FUZZ_CHECK(strlen(ini.GetValue("user0", "username")) <= 252, "username too long");
    FUZZ_CHECK(strlen(ini.GetValue("user0", "password")) <= 252, "password too long");
    // The fuzzer learns any fixed name, so the absent section is made absent.
    std::string absent = "\x02";
    while (expected.sections.count(absent) != 0)
        absent += '\x02';
    if (!expected.open)
        FUZZ_CHECK(ini.GetValue(absent.c_str(), "username")[0] == '\0', "absent section not empty");
    return 0;
}
