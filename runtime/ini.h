#ifndef RUNTIME_INI_H
#define RUNTIME_INI_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>

// Reads a small INI-style file into memory. Lines are cut by fixed
// positions: no comments, quoting or escapes.
class CIni {
public:
    CIni();
    virtual ~CIni();
    CIni(const CIni &) = delete;
    CIni &operator=(const CIni &) = delete;

    // 0 when the file was read to its end, 2 when it cannot be opened (the
    // content is then left as it was).
    int32_t Load(const char *path, const char *mode);
    // Reads every line of an open stream to its end, replacing what was
    // loaded before; Load's reading, for any stream (fmemopen included).
    void ReadFrom(FILE *file);
    // The value's text, valid until the next GetValue; empty when missing.
    const char *GetValue(const char *section, const char *key);

private:
    typedef std::map<std::string, std::string> KeyMap;

    void ParseLine(char *line, std::string &section, KeyMap &pending);

    FILE *m_File;
    char m_Value[256];
    std::map<std::string, KeyMap> m_Sections;
};

#endif
