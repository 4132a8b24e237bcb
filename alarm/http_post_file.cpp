#include "alarm/http_post_file.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "alarm/http_request.h"
#include "net/tcp_connection.h"
#include "runtime/clock.h"
#include "runtime/console.h"

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
    UploadBuffers(const UploadBuffers &) = delete;
    UploadBuffers &operator=(const UploadBuffers &) = delete;
    unsigned char *body;
    char *head;
};

// One upload's request, as far as it is known before connecting.
struct UploadRequest {
    UploadUrl pieces;
    char partHeader[kPartHeaderLineBufferSize];
    int partHeaderLength;
    int64_t bodyLength;
    int32_t queuedBodyLength;  // what the head announces and the transport is offered
    int headLength;
    UploadBuffers buffers;
};

// Everything that can refuse an upload before any connection is made: the
// URL, the file name, the data and the head with the length it carries.
// Pieces too long for their fixed lines are refused, never cut.
bool PrepareUpload(const char *url, const unsigned char *data, int32_t length, const char *fileName,
                   UploadRequest *request)
{
    if (SplitUploadUrl(url, &request->pieces) < 0)
        return false;
    request->partHeaderLength =
        FormatPartHeaderLine(request->partHeader, sizeof(request->partHeader), fileName);
    if (request->partHeaderLength < 0 || length < 0 || (data == nullptr && length > 0))
        return false;
    request->bodyLength = UploadBodyLength(request->partHeaderLength, length);
    request->queuedBodyLength =
        request->bodyLength > INT32_MAX ? INT32_MAX : static_cast<int32_t>(request->bodyLength);
    request->buffers.head = new (std::nothrow) char[kUploadHeadBufferSize];
    if (request->buffers.head == nullptr)
        return false;
    request->headLength = BuildUploadHead(request->buffers.head, kUploadHeadBufferSize, request->pieces,
                                          request->queuedBodyLength);
    return request->headLength >= 0;
}

// Builds the multipart body when it fits its buffer; false only when the
// buffer cannot be had. A larger body is never built: the transport
// refuses it by its length alone, before touching any byte.
bool BuildBodyIfItFits(UploadRequest *request, const unsigned char *data, int32_t length)
{
    if (request->bodyLength > kUploadBodyBufferSize)
        return true;
    request->buffers.body = new (std::nothrow) unsigned char[kUploadBodyBufferSize];
    if (request->buffers.body == nullptr)
        return false;
    BuildUploadBody(request->buffers.body, kUploadBodyBufferSize, request->partHeader,
                    request->partHeaderLength, data, length);
    return true;
}

// Hands every byte of the answer received so far to the status reader.
void ReadAnswer(TcpConnection &conn, HttpStatusReader *reader)
{
    char piece[512];
    int32_t got;
    while ((got = conn.ReadRaw(piece, static_cast<int32_t>(sizeof(piece)))) > 0)
        reader->Feed(piece, static_cast<size_t>(got));
}

// Whether the whole request has left the agent for the kernel.
bool RequestHandedOver(TcpConnection &conn)
{
    return conn.IsConnected() && conn.QueuedCount() == 0 && conn.IsSendIdle();
}

// The upload's result as far as the answer decides it: 1 for a 2xx answer
// to the whole request, -1 for any other final status (a refusal may come
// before the request is out), 0 while it is open.
HttpUploadResult Verdict(const HttpStatusReader &answer, bool handedOver)
{
    if (!answer.Decided())
        return 0;
    if (!answer.Succeeded())
        return -1;
    return handedOver ? 1 : 0;
}

// Drives the connection until the request is out and the server's final
// status is in, the link fails, or the window closes. 1 only for a 2xx
// answer to the whole request.
HttpUploadResult Transfer(TcpConnection &conn, int32_t start)
{
    HttpStatusReader answer;
    bool handedOver = false;
    for (;;) {
        if (conn.PollSend(kPollTimeoutUs) == 0 || conn.PollReceive(kPollTimeoutUs) == 0)
            return -1;
        // Taken after every receive step: bytes left in the connection
        // would be dropped by the close that a following end of stream
        // causes.
        ReadAnswer(conn, &answer);
        uint32_t elapsed = ElapsedMs(MonotonicNowMs(), start);
        if (elapsed > kTransferWindowMs)
            return -1;
        handedOver = handedOver || RequestHandedOver(conn);
        HttpUploadResult verdict = Verdict(answer, handedOver);
        if (verdict != 0)
            return verdict;
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
    ConsolePrint("file len =%d  sUrl=%s\n", static_cast<int>(length), url);
    UploadRequest request;
    if (!PrepareUpload(url, data, length, fileName, &request))
        return -1;

    TcpConnection conn;
    conn.Setup(kUploadBodyBufferSize, kUploadSlotCount, nullptr, nullptr);
    ConsolePrint("sUrl = %s m_FileName =%s\n", url, request.pieces.path.c_str());
    unsigned int port = static_cast<unsigned int>(atoi(request.pieces.port.c_str()));
    if (conn.Connect(request.pieces.host.c_str(), port, kConnectTimeoutSec) == 0)
        return -1;
    if (!BuildBodyIfItFits(&request, data, length)) {
        conn.Close();
        return -1;
    }
    ConsolePrint("------------------http len %d \n", static_cast<int>(request.queuedBodyLength));

    // Monotonic, so that a clock step during the upload neither cuts the
    // window short nor stretches it.
    int32_t start = MonotonicNowMs();
    HttpUploadResult result = -1;
    static const unsigned char kNoBody[1] = {0};
    const unsigned char *body = request.buffers.body != nullptr ? request.buffers.body : kNoBody;
    if (conn.QueueBytes(request.buffers.head, request.headLength) != 0 &&
        conn.QueueBytes(body, request.queuedBodyLength) != 0)
        result = Transfer(conn, start);
    conn.Close();
    return result;
}
