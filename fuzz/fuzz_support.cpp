#include "fuzz/fuzz_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzz {

void Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "fuzz check failed: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    fflush(stderr);
    abort();
}

namespace {
void BringLoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        Fail("socket for lo: %s", strerror(errno));
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        Fail("reading the flags of lo: %s", strerror(errno));
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
        Fail("bringing lo up: %s", strerror(errno));
    close(fd);
}
}  // namespace

void IsolateNetwork(bool loopbackUp)
{
    // As root a network namespace alone will do; otherwise a user namespace
    // grants the rights for one.
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        Fail("cannot enter a private network namespace (%s); refusing to fuzz on the real network",
             strerror(errno));
    if (loopbackUp)
        BringLoopbackUp();
    // A peer that goes away must show up as an error, not end the process.
    signal(SIGPIPE, SIG_IGN);
}

void SetNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        Fail("fcntl: %s", strerror(errno));
}

int ListenLoopback(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        Fail("socket: %s", strerror(errno));
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0)
        Fail("bind: %s", strerror(errno));
    if (listen(fd, 16) != 0)
        Fail("listen: %s", strerror(errno));
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
        Fail("getsockname: %s", strerror(errno));
    *port = ntohs(address.sin_port);
    return fd;
}

int AcceptWithin(int listener, int timeoutMs)
{
    struct pollfd p;
    p.fd = listener;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, timeoutMs) <= 0)
        return -1;
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0)
        SetNonBlocking(fd);
    return fd;
}

bool DrainSocket(int fd, std::string *out)
{
    char buf[65536];
    for (;;) {
        ssize_t got = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (got > 0) {
            out->append(buf, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        return false;
    }
}

std::vector<std::string> SplitAt(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t cut = text.find(separator, start);
        if (cut == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
}

ExactBuffer::ExactBuffer(const std::string &bytes) : ExactBuffer(bytes.data(), bytes.size()) {}

ExactBuffer::ExactBuffer(const char *bytes, size_t size) : m_Data(new char[size]), m_Size(size)
{
    if (size != 0)
        memcpy(m_Data, bytes, size);
}

}  // namespace fuzz
