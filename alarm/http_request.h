#ifndef ALARM_HTTP_REQUEST_H
#define ALARM_HTTP_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// The pieces of the snapshot upload request that need no connection: the
// URL split, the request head and body, and the reading of the server's
// status line. Pure functions, so they can be tested and fuzzed alone.

// One request's body buffer and each send slot of the upload connection.
const int32_t kUploadBodyBufferSize = 524288;
const int32_t kUploadHeadBufferSize = 10240;

// Fixed buffers of the head pieces, each counting the terminating NUL.
const size_t kRequestLineBufferSize = 300;
const size_t kHostLineBufferSize = 64;
// Sized for any body length, not only those that fit a slot: a body too
// large to send must still get its head, so that the transport refuses the
// body itself and says so. "Content-Length: 2147483647\r\n" has 28
// characters; the buffer holds them and the terminator.
const size_t kContentLengthLineBufferSize = 29;
const size_t kPartHeaderLineBufferSize = 128;
const size_t kHeaderLinesBufferSize = 1024;

// Bytes of the body around the part header line and the file: the opening
// delimiter (46), the part's content type (28) and the closing delimiter (50).
const int32_t kUploadBodyFraming = 124;

struct UploadUrl {
    std::string host;
    std::string port; // decimal text, as it stands in the URL
    std::string path; // from the first "/" after the port, query included
};

// Splits scheme://host:port/path by hand: the first "//", the first ":" at
// or after it, the first "/" at or after that. 1 when all three separators
// are there and host, port and path are non-empty; -1 otherwise.
int SplitUploadUrl(const char *url, UploadUrl *out);

// The part header line naming the file, into a cleared buffer; its length,
// or -1 (buffer left cleared) when it does not fit.
int FormatPartHeaderLine(char *buf, size_t size, const char *fileName);

// Body length for a part header line and a file of the given lengths; may
// exceed what one body buffer holds.
int64_t UploadBodyLength(int32_t partHeaderLength, int32_t fileLength);

// Writes the multipart body into a cleared buffer: delimiter, part header
// line, content type, file bytes, closing delimiter. Returns the body
// length, or -1 without writing anything when it would not fit.
int32_t BuildUploadBody(unsigned char *buf, size_t size, const char *partHeaderLine, int32_t partHeaderLength,
                        const unsigned char *data, int32_t length);

// Writes the request head (request line, header lines, empty line) into a
// cleared buffer. Returns its length, or -1 (buffer left cleared) when the
// path, the host and port, or the whole does not fit its fixed buffer.
int BuildUploadHead(char *buf, size_t size, const UploadUrl &url, int32_t bodyLength);

// Reads the server's answer as it arrives, byte by byte across any number
// of pieces, far enough to know the final status: interim 1xx answers are
// skipped up to their empty line, the first other status line decides.
// Keeps no copy of the bytes, so any answer length is fine.
class HttpStatusReader {
public:
    HttpStatusReader();

    // Takes the next received bytes; bytes after the decision are ignored.
    void Feed(const char *data, size_t length);

    bool Decided() const { return m_State == kFinal || m_State == kMalformed; }
    // The final status code, or 0 while undecided or when the answer is not
    // an HTTP status line.
    int Status() const { return m_State == kFinal ? m_Status : 0; }
    bool Succeeded() const { return m_State == kFinal && m_Status >= 200 && m_Status <= 299; }

private:
    enum State { kStatusLine, kInterimHeaders, kFinal, kMalformed };
    void EndStatusLine();

    State m_State;
    int m_Status;
    // Start of the status line; what follows the status code is not needed.
    char m_Line[16];
    size_t m_LineLength;
    size_t m_HeaderLineLength; // characters of the current interim header line
};

#endif
