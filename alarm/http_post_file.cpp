#include "alarm/http_post_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "alarm/http_request.h"
#include "net/tcp_connection.h"
#include "runtime/clock.h"

namespace {
const uint32_t kUploadSlotCount = 2;
const int kConnectTimeoutSec = 5;
const uint32_t kTransferWindowMs = 10000;
const int kPollTimeoutUs = 10;
// Upper bound of one wait, so a change of the wall clock is noticed soon.
const uint32_t kMaxWaitMs = 1000;

// Frees the request buffers on every way out of an upload.
struct UploadBuffers {
    UploadBuffers() : body(nullptr), head(nullptr) {}
    ~UploadBuffers()
    {
        delete[] body;
        delete[] head;
    }
    unsigned char *body;
    char *head;
};

// Hands every byte of the answer received so far to the status reader.
void ReadAnswer(TcpConnection &conn, HttpStatusReader *reader)
{
    char piece[512];
    int32_t got;
    while ((got = conn.ReadRaw(piece, static_cast<int32_t>(sizeof(piece)))) > 0)
        reader->Feed(piece, static_cast<size_t>(got));
}

// Drives the connection until the request is out and the server's final
// status is in, the link fails, or the window closes. 1 only for a 2xx
// answer to the whole request.
HttpUploadResult Transfer(TcpConnection &conn, int32_t start)
{
    HttpStatusReader answer;
    bool handedOver = false;
    for (;;) {
        if (conn.PollSend(kPollTimeoutUs) == 0)
            return -1;
        if (conn.PollReceive(kPollTimeoutUs) == 0)
            return -1;
        // Taken after every receive step: bytes left in the connection
        // would be dropped by the close that a following end of stream
        // causes.
        ReadAnswer(conn, &answer);
        uint32_t elapsed = ElapsedMs(NowMs(), start);
        if (elapsed > kTransferWindowMs)
            return -1;
        if (!handedOver && conn.IsConnected() && conn.QueuedCount() == 0 && conn.IsSendIdle())
            handedOver = true;
        if (answer.Decided() && (handedOver || !answer.Succeeded()))
            return handedOver && answer.Succeeded() ? 1 : -1;
        if (!conn.IsConnected())
            return -1;
        uint32_t left = kTransferWindowMs - elapsed + 1;
        conn.Wait(static_cast<int>(left < kMaxWaitMs ? left : kMaxWaitMs));
    }
}
} // namespace

HttpUploadResult CHttpUploader::HttpPostFile(const char *url, const unsigned char *data, int32_t length,
                                             const char *fileName)
{
    if (url == nullptr)
        url = "";
    printf("file len =%d  sUrl=%s\n", static_cast<int>(length), url);
    UploadUrl pieces;
    if (SplitUploadUrl(url, &pieces) < 0)
        return -1;
    // Pieces too long for their fixed lines are refused before any
    // connection is made: nothing is ever cut.
    char partHeader[kPartHeaderLineBufferSize];
    int partHeaderLength = FormatPartHeaderLine(partHeader, sizeof(partHeader), fileName);
    if (partHeaderLength < 0 || length < 0 || (data == nullptr && length > 0))
        return -1;
    int64_t bodyLength = UploadBodyLength(partHeaderLength, length);
    int32_t queuedBodyLength = bodyLength > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bodyLength);
    // The head, with the length it carries, is built before any connection
    // is made: one that cannot be built is refused up front.
    UploadBuffers buffers;
    buffers.head = new (std::nothrow) char[kUploadHeadBufferSize];
    int headLength = buffers.head == nullptr
                         ? -1
                         : BuildUploadHead(buffers.head, kUploadHeadBufferSize, pieces, queuedBodyLength);
    if (headLength < 0)
        return -1;

    TcpConnection conn;
    conn.Setup(kUploadBodyBufferSize, kUploadSlotCount, nullptr, nullptr);
    printf("sUrl = %s m_FileName =%s\n", url, pieces.path.c_str());
    if (conn.Connect(pieces.host.c_str(), static_cast<unsigned int>(atoi(pieces.port.c_str())),
                     kConnectTimeoutSec) == 0)
        return -1;

    if (bodyLength <= kUploadBodyBufferSize) {
        buffers.body = new (std::nothrow) unsigned char[kUploadBodyBufferSize];
        if (buffers.body == nullptr) {
            conn.Close();
            return -1;
        }
        BuildUploadBody(buffers.body, kUploadBodyBufferSize, partHeader, partHeaderLength, data, length);
    }
    printf("------------------http len %d \n", static_cast<int>(queuedBodyLength));

    int32_t start = NowMs();
    HttpUploadResult result = -1;
    // A body too large for its buffer was never built: the transport refuses
    // it by its length alone, before touching any byte.
    static const unsigned char kNoBody[1] = {0};
    if (conn.QueueBytes(buffers.head, headLength) != 0 &&
        conn.QueueBytes(buffers.body != nullptr ? buffers.body : kNoBody, queuedBodyLength) != 0)
        result = Transfer(conn, start);
    conn.Close();
    return result;
}
