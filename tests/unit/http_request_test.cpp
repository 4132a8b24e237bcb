// The upload request's pure pieces: URL split, head, body and the reading of
// the server's status line.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "alarm/http_request.h"

namespace {

const char kBoundaryLine[] = "-------------------------------7db372eb000e2\r\n";
const char kClosingLine[] = "\r\n-------------------------------7db372eb000e2--\r\n";

UploadUrl Split(const std::string &url, int *result)
{
    UploadUrl parts;
    *result = SplitUploadUrl(url.c_str(), &parts);
    return parts;
}

std::string Head(const UploadUrl &url, int32_t bodyLength, int *result)
{
    std::vector<char> buf(kUploadHeadBufferSize, 'X');
    *result = BuildUploadHead(buf.data(), buf.size(), url, bodyLength);
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

HttpStatusReader Read(const std::string &answer)
{
    HttpStatusReader reader;
    reader.Feed(answer.data(), answer.size());
    return reader;
}

} // namespace

TEST(UploadUrl, SplitsAtTheFirstSeparators)
{
    int result = 0;
    UploadUrl parts = Split("scheme://host:8080/up/load.php?x=1", &result);
    EXPECT_EQ(1, result);
    EXPECT_EQ("host", parts.host);
    EXPECT_EQ("8080", parts.port);
    EXPECT_EQ("/up/load.php?x=1", parts.path);
    std::string head = Head(parts, 0, &result);
    EXPECT_EQ(0u, head.find("POST /up/load.php?x=1 HTTP/1.0\r\n"));

    // The path keeps everything after the port, later colons and slashes too.
    parts = Split("http://10.0.0.5:80/a//b:c", &result);
    EXPECT_EQ(1, result);
    EXPECT_EQ("10.0.0.5", parts.host);
    EXPECT_EQ("80", parts.port);
    EXPECT_EQ("/a//b:c", parts.path);
}

TEST(UploadUrl, RefusesMissingOrEmptyPieces)
{
    const char *bad[] = {
        "scheme://host/up",   // no port
        "scheme://host:8080", // nothing after the port
        "host:8080/up",       // no "//"
        "scheme://:8080/up",  // empty host
        "scheme://host:/up",  // empty port
        "",
    };
    for (const char *url : bad) {
        int result = 0;
        Split(url, &result);
        EXPECT_EQ(-1, result) << url;
    }
    UploadUrl parts;
    EXPECT_EQ(-1, SplitUploadUrl(nullptr, &parts));
}

TEST(UploadHead, IsByteForByteWithTheExactBodyLength)
{
    int result = 0;
    UploadUrl parts = Split("scheme://host:8080/up/load.php?x=1", &result);
    std::string head = Head(parts, 1193, &result);
    const std::string expected =
        "POST /up/load.php?x=1 HTTP/1.0\r\n"
        "Accept:*/*\r\n"
        "HOST: host:8080\r\n"
        "User-Agent: TovuHttpClient\r\n"
        "Content-Length: 1193\r\n"
        "Expect: 100-continue\r\n"
        "Content-Type:multipart/form-data;boundary=-----------------------------7db372eb000e2\r\n"
        "\r\n";
    EXPECT_EQ(expected, head);
    EXPECT_EQ(static_cast<int>(expected.size()), result);
}

TEST(UploadHead, RefusesPiecesTooLongForTheirLinesInsteadOfCutting)
{
    // Request line: 300 bytes with its NUL, so the path may have 283.
    UploadUrl parts;
    parts.host = "h";
    parts.port = "1";
    parts.path = "/" + std::string(282, 'p');
    int result = 0;
    std::string head = Head(parts, 10, &result);
    EXPECT_GT(result, 0);
    EXPECT_EQ(0u, head.find("POST " + parts.path + " HTTP/1.0\r\n"));
    parts.path += "p";
    head = Head(parts, 10, &result);
    EXPECT_EQ(-1, result);
    EXPECT_EQ("", head); // buffer left cleared

    // Host line: 64 bytes with its NUL, so host and port may have 54.
    parts.path = "/";
    parts.host = std::string(50, 'h');
    parts.port = "8080";
    Head(parts, 10, &result);
    EXPECT_GT(result, 0);
    parts.host += "h";
    Head(parts, 10, &result);
    EXPECT_EQ(-1, result);

    // The longest body a slot takes still gets its whole Content-Length line.
    parts.host = "h";
    head = Head(parts, kUploadBodyBufferSize, &result);
    EXPECT_GT(result, 0);
    EXPECT_NE(std::string::npos, head.find("\r\nContent-Length: 524288\r\n"));
}

TEST(UploadBody, FramesTheFileBetweenTheBoundaries)
{
    char line[kPartHeaderLineBufferSize];
    int lineLength = FormatPartHeaderLine(line, sizeof(line), "abc_12345.jpg"); // 13 bytes
    ASSERT_EQ(69, lineLength);
    EXPECT_STREQ("Content-Disposition: form-data;name=\"file\";filename=\"abc_12345.jpg\"\r\n", line);
    EXPECT_EQ(1193, UploadBodyLength(lineLength, 1000));

    std::vector<unsigned char> file(1000);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<unsigned char>(i * 7); // NULs and high bytes included
    std::vector<unsigned char> body(kUploadBodyBufferSize, 0xEE);
    int32_t length = BuildUploadBody(body.data(), body.size(), line, lineLength, file.data(), 1000);
    ASSERT_EQ(1193, length);

    std::string expected = std::string(kBoundaryLine) + line + "Content-Type: text/plain\r\n\r\n" +
                           std::string(file.begin(), file.end()) + kClosingLine;
    ASSERT_EQ(1193u, expected.size());
    EXPECT_EQ(expected, std::string(body.begin(), body.begin() + length));
    EXPECT_EQ(0, body[length]); // the rest of the buffer is cleared, nothing trails
}

TEST(UploadBody, RefusesWhatItsBufferCannotHold)
{
    char line[kPartHeaderLineBufferSize];
    int lineLength = FormatPartHeaderLine(line, sizeof(line), "abc_12345.jpg");
    int32_t fits = kUploadBodyBufferSize - kUploadBodyFraming - lineLength;
    std::vector<unsigned char> file(fits + 1, 'f');
    std::vector<unsigned char> body(kUploadBodyBufferSize, 0xEE);
    EXPECT_EQ(kUploadBodyBufferSize,
              BuildUploadBody(body.data(), body.size(), line, lineLength, file.data(), fits));
    std::fill(body.begin(), body.end(), 0xEE);
    EXPECT_EQ(-1, BuildUploadBody(body.data(), body.size(), line, lineLength, file.data(), fits + 1));
    EXPECT_EQ(0xEE, body[0]); // nothing written
    EXPECT_EQ(-1, BuildUploadBody(body.data(), body.size(), line, lineLength, file.data(), -1));
}

TEST(UploadBody, PartHeaderRefusesAFileNameTooLongForItsLine)
{
    // 128 bytes with the NUL leave 71 for the name.
    char line[kPartHeaderLineBufferSize];
    EXPECT_EQ(127, FormatPartHeaderLine(line, sizeof(line), std::string(71, 'n').c_str()));
    memset(line, 'X', sizeof(line));
    EXPECT_EQ(-1, FormatPartHeaderLine(line, sizeof(line), std::string(72, 'n').c_str()));
    EXPECT_EQ(0, line[0]);
    EXPECT_EQ(0, line[sizeof(line) - 1]);
}

TEST(HttpStatus, DecidesOnTheFinalStatusLine)
{
    EXPECT_TRUE(Read("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").Succeeded());
    EXPECT_TRUE(Read("HTTP/1.0 204 No Content\r\n").Succeeded());
    EXPECT_TRUE(Read("HTTP/1.0 201\n").Succeeded());

    HttpStatusReader error = Read("HTTP/1.1 500 Internal Server Error\r\n");
    EXPECT_TRUE(error.Decided());
    EXPECT_FALSE(error.Succeeded());
    EXPECT_EQ(500, error.Status());
    EXPECT_FALSE(Read("HTTP/1.1 302 Found\r\n").Succeeded());
    EXPECT_TRUE(Read("HTTP/1.1 199 Odd\r\n\r\nHTTP/1.1 299 X\r\n").Succeeded());
}

TEST(HttpStatus, SkipsInterimAnswersWhateverThePieces)
{
    const std::string answer =
        "HTTP/1.1 100 Continue\r\nX-Note: a\r\n\r\nHTTP/1.1 200 OK\r\nServer: t\r\n\r\nbody";
    for (size_t piece = 1; piece <= answer.size(); ++piece) {
        HttpStatusReader reader;
        for (size_t at = 0; at < answer.size(); at += piece)
            reader.Feed(answer.data() + at, std::min(piece, answer.size() - at));
        EXPECT_TRUE(reader.Succeeded()) << piece;
        EXPECT_EQ(200, reader.Status());
    }

    HttpStatusReader pending = Read("HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_FALSE(pending.Decided());
    pending.Feed("HTTP/1.1 413 Too Large\r\n", 24);
    EXPECT_TRUE(pending.Decided());
    EXPECT_FALSE(pending.Succeeded());

    // An interim answer's headers are not mistaken for a status line.
    EXPECT_FALSE(Read("HTTP/1.1 100 Continue\r\nHTTP/1.1 200 OK\r\n").Decided());
}

TEST(HttpStatus, RefusesWhatIsNotAStatusLine)
{
    const char *bad[] = {
        "hello\r\n",    "HTTP/1.1 2x0 OK\r\n", "HTTP/1.1 20\r\n",    "HTTP/1.1 2000\r\n",
        "HTTP/1.1\r\n", "http/1.1 200 OK\r\n", "HTTP/1.1 099 X\r\n", "HTTP/1.1000000000000 200 OK\r\n"};
    for (const char *text : bad) {
        HttpStatusReader reader = Read(text);
        EXPECT_TRUE(reader.Decided()) << text;
        EXPECT_FALSE(reader.Succeeded()) << text;
        EXPECT_EQ(0, reader.Status()) << text;
    }
    // A line that has not ended decides nothing yet.
    EXPECT_FALSE(Read("HTTP/1.1 200 OK").Decided());
    // A stray empty line before the status line is tolerated.
    EXPECT_TRUE(Read("\r\nHTTP/1.1 200 OK\r\n").Succeeded());
}
