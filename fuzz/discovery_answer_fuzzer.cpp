// The discovery responder's probe test and answer formatting on arbitrary
// datagrams and settings texts.
//
// Input: the device id, a NUL, the device address, a NUL, then the
// datagram; the datagram's first byte also picks a buffer size from 0 to
// 100 for a second formatting.
//
// Checks: a datagram is the probe exactly when its text up to the first NUL
// is "SEARCH * QUILMAR"; the answer is the filled template when it and its
// NUL fit the buffer, and otherwise the buffer is left cleared with -1.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "discovery/discovery_responder.h"
#include "fuzz/fuzz_support.h"

namespace {

void CheckAnswer(size_t size, const std::string &devId, const std::string &devIp)
{
    std::string expected = "00000{\"devId\":\"" + devId + "\",\"devType\":\"8\",\"devIndexs\":\"1\",\"ip\":\"IP:" +
                           devIp + "\"}0";
    fuzz::ExactBuffer buf(std::string(size, 'x'));
    int length = FormatDiscoveryAnswer(buf.data(), buf.size(), devId.c_str(), devIp.c_str());
    if (expected.size() < size) {
        FUZZ_CHECK(length == static_cast<int>(expected.size()), "answer length %d, expected %zu", length,
                   expected.size());
        FUZZ_CHECK(memcmp(buf.data(), expected.c_str(), expected.size() + 1) == 0, "answer differs");
        return;
    }
    FUZZ_CHECK(length == -1, "an answer of %zu characters formatted into %zu bytes", expected.size(), size);
    for (size_t i = 0; i < size; ++i)
        FUZZ_CHECK(buf.data()[i] == 0, "a refused answer left bytes behind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t first = input.find('\0');
    size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    std::string devId = input.substr(0, first);
    std::string devIp = first == std::string::npos
                            ? std::string()
                            : input.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    std::string datagram = second == std::string::npos ? std::string() : input.substr(second + 1);

    // The probe test sees at most the 100 bytes one receive can take.
    std::string received = datagram.substr(0, kDiscoveryBufferSize);
    fuzz::ExactBuffer bytes(received);
    bool expected = strnlen(received.c_str(), received.size()) == 16 &&
                    memcmp(received.data(), "SEARCH * QUILMAR", 16) == 0;
    FUZZ_CHECK(IsDiscoveryProbe(bytes.data(), bytes.size()) == expected, "probe test wrong for %zu bytes",
               received.size());

    CheckAnswer(kDiscoveryBufferSize, devId, devIp);
    if (!datagram.empty())
        CheckAnswer(static_cast<unsigned char>(datagram[0]) % (kDiscoveryBufferSize + 1), devId, devIp);
    return 0;
}
