// The snapshot upload against an in-test HTTP server on loopback: the bytes
// on the wire, the result for each kind of answer, and the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alarm/http_post_file.h"
#include "runtime/clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/loopback_server.h"

namespace {

const char kFileName[] = "abc_12345.jpg";
const char kPath[] = "/up/load.php?x=1";
const int kDoneMs = 5000;

std::vector<unsigned char> File(size_t size)
{
    std::vector<unsigned char> file(size);
    for (size_t i = 0; i < size; ++i)
        file[i] = static_cast<unsigned char>(i * 31 + 7);
    return file;
}

std::string ExpectedHead(unsigned short port, size_t bodyLength)
{
    return std::string("POST ") + kPath + " HTTP/1.0\r\n" + "Accept:*/*\r\n" +
           "HOST: 127.0.0.1:" + std::to_string(port) + "\r\n" + "User-Agent: TovuHttpClient\r\n" +
           "Content-Length: " + std::to_string(bodyLength) + "\r\n" + "Expect: 100-continue\r\n" +
           "Content-Type:multipart/form-data;boundary=-----------------------------7db372eb000e2\r\n" +
           "\r\n";
}

std::string ExpectedBody(const std::string &fileName, const std::vector<unsigned char> &file)
{
    return "-------------------------------7db372eb000e2\r\n"
           "Content-Disposition: form-data;name=\"file\";filename=\"" +
           fileName + "\"\r\n" + "Content-Type: text/plain\r\n\r\n" + std::string(file.begin(), file.end()) +
           "\r\n-------------------------------7db372eb000e2--\r\n";
}

HttpUploadResult Post(const std::string &url, const std::vector<unsigned char> &file,
                      const char *fileName = kFileName)
{
    CHttpUploader uploader;
    return uploader.HttpPostFile(url.c_str(), file.data(), static_cast<int32_t>(file.size()), fileName);
}

HttpAnswer FinalAnswer(const std::string &text)
{
    HttpAnswer answer;
    answer.final = text;
    return answer;
}

class HttpUpload : public ::testing::Test {
protected:
    void SetUp() override { SetClockOffsetMs(0); }
    void TearDown() override { SetClockOffsetMs(0); }
};

} // namespace

TEST_F(HttpUpload, SendsTheRequestByteForByteAndSucceedsOnTwoHundred)
{
    HttpAnswer answer = FinalAnswer("HTTP/1.0 200 OK\r\n\r\n");
    answer.waitForClientClose = true;
    HttpTestServer server(answer);
    std::vector<unsigned char> file = File(1000);

    testing::internal::CaptureStdout();
    HttpUploadResult result = Post(server.Url(), file);
    std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(1, result);
    EXPECT_EQ("file len =1000  sUrl=" + server.Url() + "\n" + "sUrl = " + server.Url() +
                  " m_FileName =" + kPath + "\n" + "------------------http len 1193 \n",
              console);
    ASSERT_TRUE(server.WaitDone(1, kDoneMs));
    std::vector<HttpExchange> seen = server.Exchanges();
    ASSERT_EQ(1u, seen.size());
    EXPECT_TRUE(seen[0].complete);
    EXPECT_EQ(ExpectedHead(server.Port(), 1193), seen[0].head);
    EXPECT_EQ(ExpectedBody(kFileName, file), seen[0].body);
    EXPECT_EQ("", seen[0].trailing); // exactly the body, nothing after it
}

TEST_F(HttpUpload, ResultFollowsTheFinalStatus)
{
    struct Case {
        const char *name;
        const char *afterHead;
        const char *final;
        HttpUploadResult expected;
    } cases[] = {
        {"server error", "", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", -1},
        {"interim, then success", "HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", 1},
        {"interim, then refusal", "HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 413 Too Large\r\n\r\n", -1},
        {"success and close at once", "", "HTTP/1.0 201 Created\r\n\r\n", 1},
        {"close without an answer", "", "", -1},
        {"not HTTP", "", "hello\r\n", -1},
    };
    for (const Case &c : cases) {
        HttpAnswer answer = FinalAnswer(c.final);
        answer.afterHead = c.afterHead;
        HttpTestServer server(answer);
        EXPECT_EQ(c.expected, Post(server.Url(), File(5000))) << c.name;
        ASSERT_TRUE(server.WaitDone(1, kDoneMs)) << c.name;
        EXPECT_TRUE(server.Exchanges()[0].complete) << c.name;
    }
}

TEST_F(HttpUpload, NoFinalStatusWithinTheWindowFails)
{
    // The server takes the whole request, time moves past the 10 s window,
    // and no final status ever comes: silence, or an interim answer only.
    const char *interims[] = {"", "HTTP/1.1 100 Continue\r\n\r\n"};
    for (const char *interim : interims) {
        HttpAnswer answer;
        answer.afterHead = interim;
        answer.beforeFinal = [] { AdvanceClockMs(10001); };
        answer.waitForClientClose = true;
        HttpTestServer server(answer);
        EXPECT_EQ(-1, Post(server.Url(), File(1000))) << interim;
        ASSERT_TRUE(server.WaitDone(1, kDoneMs));
        EXPECT_TRUE(server.Exchanges()[0].complete);
        SetClockOffsetMs(0);
    }
}

TEST_F(HttpUpload, ClockStepsDuringTheUploadDoNotEndIt)
{
    // NTP or the relay server's time command sets the clock by an hour
    // while the server is answering.
    for (int32_t step : {-3600000, 3600000}) {
        HttpAnswer answer = FinalAnswer("HTTP/1.0 200 OK\r\n\r\n");
        answer.beforeFinal = [step] { StepWallClockMs(step); };
        answer.waitForClientClose = true;
        HttpTestServer server(answer);
        EXPECT_EQ(1, Post(server.Url(), File(1000))) << step;
        ASSERT_TRUE(server.WaitDone(1, kDoneMs));
        SetClockOffsetMs(0);
    }
}

TEST_F(HttpUpload, BodyTooLargeForItsSlotIsRefusedUnsent)
{
    HttpAnswer answer = FinalAnswer("HTTP/1.0 200 OK\r\n\r\n");
    answer.waitForClientClose = true;
    HttpTestServer server(answer);
    // 124 bytes of framing and the 69-byte part header line around the file.
    const size_t largest = 524288 - 124 - 69;

    EXPECT_EQ(1, Post(server.Url(), File(largest)));
    ASSERT_TRUE(server.WaitDone(1, kDoneMs));
    EXPECT_EQ(524288u, server.Exchanges()[0].body.size());

    testing::internal::CaptureStdout();
    HttpUploadResult result = Post(server.Url(), File(largest + 1));
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, result);
    EXPECT_NE(std::string::npos, console.find("------------------http len 524289 \n"));
    EXPECT_NE(std::string::npos,
              console.find("GetWriteBuffer is null  mean no packet! now size 524288 ! need size 524289\n"));
    ASSERT_TRUE(server.WaitDone(2, kDoneMs));
    EXPECT_EQ("", server.Exchanges()[1].head); // the head was dropped with the body
}

TEST_F(HttpUpload, RefusesBeforeConnectingWhatCannotBeSent)
{
    HttpTestServer server(FinalAnswer("HTTP/1.0 200 OK\r\n\r\n"));
    const std::string port = std::to_string(server.Port());
    std::vector<unsigned char> file = File(10);
    struct Case {
        std::string url;
        std::string fileName;
    } cases[] = {
        {"http://127.0.0.1/up", kFileName},                                 // no port
        {"http://127.0.0.1:" + port, kFileName},                            // nothing after the port
        {"127.0.0.1:" + port + "/up", kFileName},                           // no "//"
        {"http://:" + port + "/up", kFileName},                             // empty host
        {server.Url(), std::string(72, 'n')},                               // part header line too long
        {server.Url("/" + std::string(283, 'p')), kFileName},               // request line too long
        {"http://" + std::string(51, 'h') + ":" + port + "/up", kFileName}, // Host line too long
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        HttpUploadResult result = Post(c.url, file, c.fileName.c_str());
        std::string console = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, result) << c.url;
        EXPECT_EQ("file len =10  sUrl=" + c.url + "\n", console) << c.url;
    }
    EXPECT_EQ(0u, server.Connections());

    // Nobody listening: refused at the connect, after the second line.
    LoopbackServer *closed = new LoopbackServer();
    std::string url = "http://127.0.0.1:" + std::to_string(closed->Port()) + "/up";
    delete closed;
    testing::internal::CaptureStdout();
    HttpUploadResult result = Post(url, file);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, result);
    EXPECT_EQ("file len =10  sUrl=" + url + "\n" + "sUrl = " + url + " m_FileName =/up\n", console);
}
