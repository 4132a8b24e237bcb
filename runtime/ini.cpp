#include "runtime/ini.h"

#include <string.h>

#include <utility>

#include "runtime/console.h"

namespace {
const size_t kLineBufferSize = 256;
// The value starts three characters after the "=", past " =" and an
// opening mark: key = "value"
const size_t kValueOffset = 3;

void RemoveFirst(char *line, char c)
{
    char *p = strchr(line, c);
    if (p != nullptr)
        memmove(p, p + 1, strlen(p + 1) + 1);
}

std::string CutAtSpace(const std::string &text)
{
    size_t space = text.find(' ');
    return space == std::string::npos ? text : text.substr(0, space);
}
} // namespace

CIni::CIni() : m_File(nullptr)
{
    memset(m_Value, 0, sizeof(m_Value));
}

CIni::~CIni() {}

int32_t CIni::Load(const char *path, const char *mode)
{
    m_File = fopen(path, mode);
    if (m_File == nullptr) {
        ConsolePrint("open inifile %s error!\n", path);
        return 2;
    }
    ReadFrom(m_File);
    // Nothing reads the file again.
    fclose(m_File);
    m_File = nullptr;
    return 0;
}

void CIni::ReadFrom(FILE *file)
{
    m_Sections.clear();
    KeyMap pending;
    std::string section;
    char line[kLineBufferSize];
    while (fgets(line, sizeof(line), file) != nullptr)
        ParseLine(line, section, pending);
    m_Sections[section] = std::move(pending);
}

void CIni::ParseLine(char *line, std::string &section, KeyMap &pending)
{
    RemoveFirst(line, '\n');
    RemoveFirst(line, '\r');
    const char *open = strchr(line, '[');
    const char *close = strchr(line, ']');
    if (open != nullptr && close != nullptr) {
        // A "]" before the "[" names nothing usable: the line is skipped.
        if (open > close)
            return;
        m_Sections[section] = std::move(pending);
        pending.clear();
        section.assign(open + 1, close);
        return;
    }
    const char *equals = strchr(line, '=');
    if (equals == nullptr)
        return;
    size_t e = static_cast<size_t>(equals - line);
    size_t length = strlen(line);
    // Fewer than two characters after the "=": no value can start; skipped.
    if (e + kValueOffset > length)
        return;
    std::string key = CutAtSpace(std::string(line, e));
    pending[key] = CutAtSpace(std::string(line + e + kValueOffset));
}

const char *CIni::GetValue(const char *section, const char *key)
{
    memset(m_Value, 0, sizeof(m_Value));
    KeyMap &keys = m_Sections[section];
    KeyMap::const_iterator found = keys.find(key);
    if (found != keys.end())
        strncpy(m_Value, found->second.c_str(), sizeof(m_Value) - 1);
    return m_Value;
}
