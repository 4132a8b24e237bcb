#include "alarm/http_request.h"

#include <stdio.h>
#include <string.h>

#include "runtime/bounded_format.h"

namespace {
const char kBoundaryLine[] = "-------------------------------7db372eb000e2\r\n";
const char kPartContentType[] = "Content-Type: text/plain\r\n\r\n";
const char kClosingLine[] = "\r\n-------------------------------7db372eb000e2--\r\n";

} // namespace

int SplitUploadUrl(const char *url, UploadUrl *out)
{
    if (url == nullptr || out == nullptr)
        return -1;
    const char *slashes = strstr(url, "//");
    if (slashes == nullptr)
        return -1;
    // The scheme's colon stands before the "//", so the first colon from
    // there on ends the host.
    const char *colon = strchr(slashes, ':');
    if (colon == nullptr)
        return -1;
    const char *slash = strchr(colon, '/');
    if (slash == nullptr)
        return -1;
    const char *host = slashes + 2;
    out->host.assign(host, static_cast<size_t>(colon - host));
    out->port.assign(colon + 1, static_cast<size_t>(slash - colon - 1));
    out->path.assign(slash);
    if (out->host.empty() || out->port.empty() || out->path.empty())
        return -1;
    return 1;
}

int FormatPartHeaderLine(char *buf, size_t size, const char *fileName)
{
    if (fileName == nullptr)
        return -1;
    return FormatBounded(buf, size, "Content-Disposition: form-data;name=\"file\";filename=\"%s\"\r\n",
                      fileName);
}

int64_t UploadBodyLength(int32_t partHeaderLength, int32_t fileLength)
{
    return static_cast<int64_t>(kUploadBodyFraming) + partHeaderLength + fileLength;
}

int32_t BuildUploadBody(unsigned char *buf, size_t size, const char *partHeaderLine, int32_t partHeaderLength,
                        const unsigned char *data, int32_t length)
{
    if (buf == nullptr || partHeaderLine == nullptr || partHeaderLength < 0 || length < 0 ||
        (data == nullptr && length > 0))
        return -1;
    int64_t total = UploadBodyLength(partHeaderLength, length);
    if (total > static_cast<int64_t>(size))
        return -1;
    memset(buf, 0, size);
    unsigned char *at = buf;
    memcpy(at, kBoundaryLine, sizeof(kBoundaryLine) - 1);
    at += sizeof(kBoundaryLine) - 1;
    memcpy(at, partHeaderLine, static_cast<size_t>(partHeaderLength));
    at += partHeaderLength;
    memcpy(at, kPartContentType, sizeof(kPartContentType) - 1);
    at += sizeof(kPartContentType) - 1;
    if (length > 0)
        memcpy(at, data, static_cast<size_t>(length));
    at += length;
    memcpy(at, kClosingLine, sizeof(kClosingLine) - 1);
    return static_cast<int32_t>(total);
}

int BuildUploadHead(char *buf, size_t size, const UploadUrl &url, int32_t bodyLength)
{
    if (buf == nullptr || size == 0)
        return -1;
    memset(buf, 0, size);
    char requestLine[kRequestLineBufferSize];
    char hostLine[kHostLineBufferSize];
    char lengthLine[kContentLengthLineBufferSize];
    char headerLines[kHeaderLinesBufferSize];
    if (FormatBounded(requestLine, sizeof(requestLine), "POST %s HTTP/1.0\r\n", url.path.c_str()) < 0)
        return -1;
    if (FormatBounded(hostLine, sizeof(hostLine), "HOST: %s:%s\r\n", url.host.c_str(), url.port.c_str()) < 0)
        return -1;
    // The body length exactly: the server reads that many bytes as the body.
    long contentLength = bodyLength;
    if (FormatBounded(lengthLine, sizeof(lengthLine), "Content-Length: %ld\r\n", contentLength) < 0)
        return -1;
    if (FormatBounded(headerLines, sizeof(headerLines),
                   "Accept:*/*\r\n%sUser-Agent: TovuHttpClient\r\n%sExpect: 100-continue\r\n"
                   "Content-Type:multipart/form-data;"
                   "boundary=-----------------------------7db372eb000e2\r\n\r\n",
                   hostLine, lengthLine) < 0)
        return -1;
    return FormatBounded(buf, size, "%s%s", requestLine, headerLines);
}

HttpStatusReader::HttpStatusReader()
    : m_State(kStatusLine), m_Status(0), m_LineLength(0), m_HeaderLineLength(0)
{
    memset(m_Line, 0, sizeof(m_Line));
}

void HttpStatusReader::Feed(const char *data, size_t length)
{
    for (size_t i = 0; i < length && !Decided(); ++i) {
        char c = data[i];
        if (c == '\r')
            continue;
        if (m_State == kStatusLine) {
            if (c == '\n') {
                EndStatusLine();
            } else {
                if (m_LineLength < sizeof(m_Line) - 1)
                    m_Line[m_LineLength] = c;
                ++m_LineLength;
            }
        } else if (c == '\n') { // header lines of an interim answer
            if (m_HeaderLineLength == 0)
                m_State = kStatusLine; // its empty line: the next answer follows
            m_HeaderLineLength = 0;
        } else {
            ++m_HeaderLineLength;
        }
    }
}

// "HTTP/<version> <three digits>" followed by a blank or the line's end.
void HttpStatusReader::EndStatusLine()
{
    size_t held = m_LineLength < sizeof(m_Line) - 1 ? m_LineLength : sizeof(m_Line) - 1;
    m_Line[held] = '\0';
    m_LineLength = 0;
    if (held == 0)
        return; // a stray empty line before the status line
    int status = 0;
    const char *blank = strchr(m_Line, ' ');
    bool valid = strncmp(m_Line, "HTTP/", 5) == 0 && blank != nullptr &&
                 static_cast<size_t>(blank + 4 - m_Line) <= held;
    if (valid) {
        for (int i = 1; i <= 3 && valid; ++i) {
            char digit = blank[i];
            valid = digit >= '0' && digit <= '9';
            status = status * 10 + (digit - '0');
        }
        valid = valid && (blank[4] == ' ' || blank[4] == '\0') && status >= 100;
    }
    memset(m_Line, 0, sizeof(m_Line));
    if (!valid) {
        m_State = kMalformed;
        return;
    }
    m_Status = status;
    if (status < 200) {
        m_State = kInterimHeaders;
        m_HeaderLineLength = 0;
    } else {
        m_State = kFinal;
    }
}
