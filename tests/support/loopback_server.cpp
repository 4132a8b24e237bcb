#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {
int64_t MonoMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitReadable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}
}  // namespace

std::string FrameText(const std::string &text)
{
    uint32_t length = static_cast<uint32_t>(text.size() + 2);
    std::string out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    out.push_back('0');
    out += text;
    out.push_back('\0');
    return out;
}

LoopbackServer::LoopbackServer(const char *address, unsigned short port)
    : m_Listen(-1), m_Client(-1), m_Port(0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address, &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    m_Port = ntohs(addr.sin_port);
    m_Listen = fd;
}

LoopbackServer::~LoopbackServer()
{
    CloseClient();
    if (m_Listen >= 0)
        close(m_Listen);
}

bool LoopbackServer::Accept(int timeoutMs)
{
    CloseClient();
    if (m_Listen < 0 || !WaitReadable(m_Listen, timeoutMs))
        return false;
    m_Client = accept(m_Listen, nullptr, nullptr);
    return m_Client >= 0;
}

void LoopbackServer::CloseClient()
{
    if (m_Client >= 0)
        close(m_Client);
    m_Client = -1;
    m_Pending.clear();
}

bool LoopbackServer::ReadBytes(std::string *out, size_t n, int timeoutMs)
{
    int64_t deadline = MonoMs() + timeoutMs;
    while (m_Pending.size() < n) {
        int64_t left = deadline - MonoMs();
        if (m_Client < 0 || left <= 0 || !WaitReadable(m_Client, static_cast<int>(left)))
            return false;
        char buf[65536];
        ssize_t got = recv(m_Client, buf, sizeof(buf), 0);
        if (got <= 0)
            return false;
        m_Pending.append(buf, static_cast<size_t>(got));
    }
    out->assign(m_Pending, 0, n);
    m_Pending.erase(0, n);
    return true;
}

bool LoopbackServer::ReadFrame(std::string *body, int timeoutMs)
{
    std::string prefix;
    if (!ReadBytes(&prefix, 4, timeoutMs))
        return false;
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = (length << 8) | static_cast<unsigned char>(prefix[i]);
    if (!ReadBytes(body, length, timeoutMs)) {
        m_Pending.insert(0, prefix);
        return false;
    }
    return true;
}

std::string LoopbackServer::ReadText(int timeoutMs)
{
    std::string body;
    if (!ReadFrame(&body, timeoutMs) || body.size() < 2)
        return std::string();
    return body.substr(1, body.size() - 2);
}

bool LoopbackServer::WaitClosed(int timeoutMs)
{
    int64_t deadline = MonoMs() + timeoutMs;
    while (m_Client >= 0) {
        int64_t left = deadline - MonoMs();
        if (left <= 0 || !WaitReadable(m_Client, static_cast<int>(left)))
            return false;
        char buf[65536];
        if (recv(m_Client, buf, sizeof(buf), 0) <= 0)
            return true;
    }
    return true;
}

bool LoopbackServer::SendRaw(const std::string &bytes)
{
    size_t sent = 0;
    while (m_Client >= 0 && sent < bytes.size()) {
        ssize_t n = send(m_Client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return m_Client >= 0;
}

bool LoopbackServer::SendText(const std::string &text) { return SendRaw(FrameText(text)); }
