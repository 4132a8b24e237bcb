#ifndef TESTS_SUPPORT_TEXT_LINES_H
#define TESTS_SUPPORT_TEXT_LINES_H

#include <sstream>
#include <string>
#include <vector>

// A console text cut into its lines, without their line ends.
inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

#endif
