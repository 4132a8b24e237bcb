// The snapshot upload's URL split and request building on arbitrary URLs,
// file names and file bytes.
//
// Input: the URL, a NUL, the file name, a NUL, then the file bytes; the
// first file byte also moves the body buffer's size around the exact fit.
//
// Checks: the URL is cut at the first "//", the first ":" from there and
// the first "/" from there, and refused when a piece is missing or empty;
// head, part header line and body are byte for byte what they must be when
// they fit their fixed buffers, and are refused (buffer cleared, or for the
// body untouched) when they do not.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "alarm/http_request.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kBoundary[] = "-----------------------------7db372eb000e2";

bool AllBytes(const unsigned char *buf, size_t size, unsigned char value)
{
    for (size_t i = 0; i < size; ++i)
        if (buf[i] != value)
            return false;
    return true;
}

void CheckSplit(const std::string &url, int result, const UploadUrl &pieces)
{
    size_t slashes = url.find("//");
    size_t colon = slashes == std::string::npos ? slashes : url.find(':', slashes);
    size_t slash = colon == std::string::npos ? colon : url.find('/', colon);
    if (slash == std::string::npos) {
        FUZZ_CHECK(result == -1, "URL without its separators accepted: %s", url.c_str());
        return;
    }
    std::string host = url.substr(slashes + 2, colon - slashes - 2);
    std::string port = url.substr(colon + 1, slash - colon - 1);
    std::string path = url.substr(slash);
    if (host.empty() || port.empty() || path.empty()) {
        FUZZ_CHECK(result == -1, "URL with an empty piece accepted: %s", url.c_str());
        return;
    }
    FUZZ_CHECK(result == 1, "URL refused: %s", url.c_str());
    FUZZ_CHECK(pieces.host == host && pieces.port == port && pieces.path == path, "URL cut wrongly: %s",
               url.c_str());
}

void CheckHead(const UploadUrl &url, int32_t bodyLength)
{
    std::string requestLine = "POST " + url.path + " HTTP/1.0\r\n";
    std::string hostLine = "HOST: " + url.host + ":" + url.port + "\r\n";
    std::string lengthLine = "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    std::string headerLines = "Accept:*/*\r\n" + hostLine + "User-Agent: TovuHttpClient\r\n" + lengthLine +
                              "Expect: 100-continue\r\nContent-Type:multipart/form-data;boundary=" +
                              kBoundary + "\r\n\r\n";
    std::string head = requestLine + headerLines;
    bool fits = requestLine.size() < kRequestLineBufferSize && hostLine.size() < kHostLineBufferSize &&
                lengthLine.size() < kContentLengthLineBufferSize && headerLines.size() < kHeaderLinesBufferSize &&
                head.size() < static_cast<size_t>(kUploadHeadBufferSize);

    std::vector<char> buf(kUploadHeadBufferSize, 'x');
    int length = BuildUploadHead(buf.data(), buf.size(), url, bodyLength);
    if (length < 0) {
        FUZZ_CHECK(!fits, "a head that fits was refused");
        FUZZ_CHECK(AllBytes(reinterpret_cast<unsigned char *>(buf.data()), buf.size(), 0),
                   "a refused head left bytes behind");
        return;
    }
    FUZZ_CHECK(static_cast<size_t>(length) < buf.size() && buf[length] == '\0', "head not terminated");
    FUZZ_CHECK(strlen(buf.data()) == static_cast<size_t>(length), "head length %d is not its text's", length);
    if (fits)
        FUZZ_CHECK(std::string(buf.data(), length) == head, "head differs");
    else
        FUZZ_CHECK(memcmp(buf.data(), "POST ", 5) == 0, "a cut head lost its request line");
}

// Returns the part header line's length, or -1.
int CheckPartHeader(const std::string &fileName, std::string *line)
{
    std::string expected = "Content-Disposition: form-data;name=\"file\";filename=\"" + fileName + "\"\r\n";
    char buf[kPartHeaderLineBufferSize];
    memset(buf, 'x', sizeof(buf));
    int length = FormatPartHeaderLine(buf, sizeof(buf), fileName.c_str());
    bool fits = expected.size() < sizeof(buf);
    if (length < 0) {
        FUZZ_CHECK(!fits, "a part header line that fits was refused");
        FUZZ_CHECK(AllBytes(reinterpret_cast<unsigned char *>(buf), sizeof(buf), 0),
                   "a refused part header line left bytes behind");
        return -1;
    }
    FUZZ_CHECK(static_cast<size_t>(length) < sizeof(buf) && strlen(buf) == static_cast<size_t>(length),
               "part header line length %d", length);
    if (fits)
        FUZZ_CHECK(std::string(buf, length) == expected, "part header line differs");
    *line = std::string(buf, length);
    return length;
}

void CheckBody(const std::string &partHeader, const std::string &file)
{
    int64_t total = UploadBodyLength(static_cast<int32_t>(partHeader.size()), static_cast<int32_t>(file.size()));
    FUZZ_CHECK(total == 124 + static_cast<int64_t>(partHeader.size() + file.size()), "body length %lld",
               static_cast<long long>(total));
    // A buffer from two bytes short of the exact fit to two bytes over it.
    int64_t shift = file.empty() ? 0 : static_cast<int64_t>(static_cast<unsigned char>(file[0]) % 5) - 2;
    size_t size = static_cast<size_t>(total + shift);
    std::vector<unsigned char> holder(size);
    unsigned char *buf = holder.data();
    memset(buf, 0x5A, size);
    int32_t length = BuildUploadBody(buf, size, partHeader.data(), static_cast<int32_t>(partHeader.size()),
                                     reinterpret_cast<const unsigned char *>(file.data()),
                                     static_cast<int32_t>(file.size()));
    if (total > static_cast<int64_t>(size)) {
        FUZZ_CHECK(length == -1, "a body %lld bytes long written into %zu", static_cast<long long>(total), size);
        FUZZ_CHECK(AllBytes(buf, size, 0x5A), "a refused body wrote into its buffer");
        return;
    }
    FUZZ_CHECK(length == total, "body length %d, expected %lld", length, static_cast<long long>(total));
    std::string expected = std::string("--") + kBoundary + "\r\n" + partHeader +
                           "Content-Type: text/plain\r\n\r\n" + file + "\r\n--" + kBoundary + "--\r\n";
    FUZZ_CHECK(expected.size() == static_cast<size_t>(total), "framing is not 124 bytes");
    FUZZ_CHECK(memcmp(buf, expected.data(), expected.size()) == 0, "body differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t firstNul = input.find('\0');
    std::string url = input.substr(0, firstNul);
    std::string fileName;
    std::string file;
    if (firstNul != std::string::npos) {
        size_t secondNul = input.find('\0', firstNul + 1);
        fileName = input.substr(firstNul + 1, secondNul == std::string::npos ? secondNul : secondNul - firstNul - 1);
        if (secondNul != std::string::npos)
            file = input.substr(secondNul + 1);
    }

    // The URL as a text of exactly its bytes and a terminator.
    fuzz::ExactBuffer urlText(std::string(url.c_str(), url.size() + 1));
    UploadUrl pieces;
    int result = SplitUploadUrl(urlText.data(), &pieces);
    CheckSplit(url, result, pieces);
    if (result == 1) {
        int32_t bodyLength = file.empty() ? 0 : static_cast<int32_t>(file.size()) * 997;
        CheckHead(pieces, bodyLength);
    }
    std::string partHeader;
    if (CheckPartHeader(fileName, &partHeader) >= 0)
        CheckBody(partHeader, file);
    return 0;
}
