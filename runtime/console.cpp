#include "runtime/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/bounded_format.h"

ConsoleWriter::ConsoleWriter(int fd)
    : m_Fd(fd), m_Mode(kPollFirst), m_Lost(0), m_PendingLength(0), m_PendingOffset(0)
{
}

void ConsoleWriter::MakeNonBlocking()
{
    MutexGuard guard(m_Lock);
    struct stat st;
    if (fstat(m_Fd, &st) != 0) {
        HoldWithNull();
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        m_Mode = kSocket;
    } else if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) {
        m_Mode = kDirect; // a file: no reader to wait for
    } else if (OpenPrivate()) {
        m_Mode = kDirect;
    } else if (S_ISFIFO(st.st_mode)) {
        // Another holder of this pipe's description, if any, then sees a
        // full pipe as we do rather than waiting on it.
        int flags = fcntl(m_Fd, F_GETFL);
        if (flags >= 0 && fcntl(m_Fd, F_SETFL, flags | O_NONBLOCK) == 0)
            m_Mode = kDirect;
    }
}

// Started without this descriptor: /dev/null takes its number, so that
// no socket opened later gets it and carries console lines.
void ConsoleWriter::HoldWithNull()
{
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0 && null != m_Fd) {
        dup2(null, m_Fd);
        close(null);
    }
    m_Mode = kDirect;
}

// The same pipe or terminal opened again, non-blocking, in place of the
// inherited description, which other processes may share.
bool ConsoleWriter::OpenPrivate()
{
    char path[32];
    if (FormatBounded(path, sizeof(path), "/proc/self/fd/%d", m_Fd) < 0)
        return false;
    int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (own < 0)
        return false;
    bool replaced = dup2(own, m_Fd) == m_Fd;
    close(own);
    return replaced;
}

void ConsoleWriter::Write(const char *text, size_t length)
{
    MutexGuard guard(m_Lock);
    while (length > 0) {
        const char *end = static_cast<const char *>(memchr(text, '\n', length));
        size_t line = end != nullptr ? static_cast<size_t>(end - text) + 1 : length;
        PutCut(text, line);
        text += line;
        length -= line;
    }
}

void ConsoleWriter::Flush()
{
    MutexGuard guard(m_Lock);
    if (FinishPending())
        SayLost();
}

uint32_t ConsoleWriter::Lost()
{
    MutexGuard guard(m_Lock);
    return m_Lost;
}

void ConsoleWriter::PutCut(const char *line, size_t length)
{
    if (length <= kLineLimit) {
        Put(line, length);
        return;
    }
    char cut[kLineLimit];
    memcpy(cut, line, kLineLimit - 1);
    cut[kLineLimit - 1] = '\n';
    Put(cut, kLineLimit);
}

// A line goes only after the rest of the one before it and after the count
// of those lost, so what the reader gets is whole lines in order.
void ConsoleWriter::Put(const char *line, size_t length)
{
    if (!FinishPending() || !SayLost() || !Start(line, length))
        ++m_Lost;
}

bool ConsoleWriter::FinishPending()
{
    if (m_PendingOffset == m_PendingLength)
        return true;
    long written = WriteSome(m_Pending + m_PendingOffset, m_PendingLength - m_PendingOffset);
    if (written > 0)
        m_PendingOffset += static_cast<size_t>(written);
    if (m_PendingOffset < m_PendingLength)
        return false;
    m_PendingOffset = m_PendingLength = 0;
    return true;
}

bool ConsoleWriter::SayLost()
{
    if (m_Lost == 0)
        return true;
    char line[64];
    int length = FormatBounded(line, sizeof(line), "console: %u lines lost (the console did not take them)\n",
                               static_cast<unsigned>(m_Lost));
    if (length <= 0 || !Start(line, static_cast<size_t>(length)))
        return false;
    m_Lost = 0;
    return m_PendingLength == 0;
}

// Writes what the console takes of the line now and keeps the rest of it.
bool ConsoleWriter::Start(const char *line, size_t length)
{
    long written = WriteSome(line, length);
    if (written <= 0)
        return false;
    size_t rest = length - static_cast<size_t>(written);
    memcpy(m_Pending, line + written, rest);
    m_PendingLength = rest;
    m_PendingOffset = 0;
    return true;
}

long ConsoleWriter::WriteSome(const char *data, size_t length)
{
    for (;;) {
        if (m_Mode == kPollFirst && !Writable())
            return -1;
        long written = m_Mode == kSocket ? send(m_Fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                         : write(m_Fd, data, length);
        if (written >= 0 || errno != EINTR)
            return written;
    }
}

bool ConsoleWriter::Writable()
{
    struct pollfd target;
    target.fd = m_Fd;
    target.events = POLLOUT;
    target.revents = 0;
    return poll(&target, 1, 0) == 1 && (target.revents & POLLOUT) != 0;
}

ConsoleWriter &StandardOutput()
{
    // Never destroyed: a thread may still print while the process exits.
    static ConsoleWriter *writer = new ConsoleWriter(STDOUT_FILENO);
    return *writer;
}

namespace {
// Standard error's writer, or standard output's when both are the same
// pipe or file (2>&1): one count of lost lines, said once.
ConsoleWriter *g_ErrorWriter = nullptr;

bool SameFile(int a, int b)
{
    struct stat first, second;
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}
} // namespace

ConsoleWriter &StandardError()
{
    static ConsoleWriter *own = new ConsoleWriter(STDERR_FILENO);
    return g_ErrorWriter != nullptr ? *g_ErrorWriter : *own;
}

void OpenConsole()
{
    StandardOutput().MakeNonBlocking();
    StandardError().MakeNonBlocking();
    if (SameFile(STDOUT_FILENO, STDERR_FILENO))
        g_ErrorWriter = &StandardOutput();
}

namespace {
void PrintTo(ConsoleWriter &writer, const char *format, va_list args)
{
    char line[ConsoleWriter::kLineLimit];
    int length = vsnprintf(line, sizeof(line), format, args);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) >= sizeof(line)) {
        length = static_cast<int>(sizeof(line)) - 1;
        line[length - 1] = '\n';
    }
    writer.Write(line, static_cast<size_t>(length));
}
} // namespace

void ConsolePrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    PrintTo(StandardOutput(), format, args);
    va_end(args);
}

void ConsoleError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    PrintTo(StandardError(), format, args);
    va_end(args);
}
