// SplitString on arbitrary texts. The first input byte chooses how many of
// the next bytes form the separator set (1 to 3); the rest is the text.
// n separator characters must give n + 1 pieces that contain no separator
// and join back into the text.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t setLength = 1 + data[0] % 3;
    if (size < 1 + setLength)
        return 0;
    // The set is a C string: a NUL ends it early.
    std::string set(reinterpret_cast<const char *>(data + 1), setLength);
    set = set.c_str();
    std::string text(reinterpret_cast<const char *>(data + 1 + setLength), size - 1 - setLength);

    std::vector<std::string> pieces = SplitString(text, set.c_str());

    size_t separators = 0;
    for (char c : text)
        if (!set.empty() && set.find(c) != std::string::npos)
            ++separators;
    FUZZ_CHECK(pieces.size() == separators + 1, "%zu pieces for %zu separators", pieces.size(), separators);

    std::string joined;
    size_t at = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        for (char c : pieces[i])
            FUZZ_CHECK(set.find(c) == std::string::npos, "piece %zu holds a separator", i);
        joined += pieces[i];
        at += pieces[i].size();
        if (i + 1 < pieces.size()) {
            FUZZ_CHECK(at < text.size(), "pieces run past the text");
            FUZZ_CHECK(set.find(text[at]) != std::string::npos, "pieces not cut at a separator");
            joined += text[at];
            ++at;
        }
    }
    FUZZ_CHECK(joined == text, "pieces do not join back into the text");
    return 0;
}
