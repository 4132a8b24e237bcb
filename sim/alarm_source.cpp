#include "sim/alarm_source.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace netlib_sim {

AlarmSource::AlarmSource(std::string fifoPath, unsigned int intervalMs, Raise raise)
    : m_fifoPath(std::move(fifoPath)), m_intervalMs(intervalMs), m_raise(std::move(raise)) {}

AlarmSource::~AlarmSource() {
    for (int fd : {m_fifoRead, m_fifoKeep, m_wake[0], m_wake[1]})
        if (fd >= 0) close(fd);
}

void AlarmSource::Stop() {
    if (!m_thread.joinable()) return;
    char byte = 0;
    while (write(m_wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

bool AlarmSource::OpenFifo() {
    if (m_fifoPath.empty()) return false;
    if (mkfifo(m_fifoPath.c_str(), 0666) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "netlib-sim: cannot create alarm FIFO %s: %s\n", m_fifoPath.c_str(),
                     std::strerror(errno));
        return false;
    }
    struct stat info;
    if (stat(m_fifoPath.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) {
        std::fprintf(stderr, "netlib-sim: %s is not a FIFO\n", m_fifoPath.c_str());
        return false;
    }
    // Non-blocking opens: the read end first, then a writer of our own so
    // that writers coming and going never leave the read end at EOF.
    m_fifoRead = open(m_fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fifoRead >= 0) m_fifoKeep = open(m_fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fifoRead < 0 || m_fifoKeep < 0) {
        std::fprintf(stderr, "netlib-sim: cannot open alarm FIFO %s\n", m_fifoPath.c_str());
        return false;
    }
    return true;
}

bool AlarmSource::Start() {
    bool haveFifo = OpenFifo();
    if (!haveFifo && m_intervalMs == 0) return false;
    if (pipe2(m_wake, O_CLOEXEC) != 0) return false;
    // The thread keeps the source alive, for the case where it is let go.
    std::shared_ptr<AlarmSource> self = shared_from_this();
    m_thread = std::thread([self] { self->Main(); });
    return true;
}

void AlarmSource::HandleLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return;
    line.erase(0, first);
    if (line == "motion")
        m_raise(0, line);
    else if (line == "input")
        m_raise(1, line);
    else
        m_raise(-1, line);
}

namespace {

// Milliseconds from now to a time point, 0 when it has passed.
int MsUntil(std::chrono::steady_clock::time_point due) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

// Reads what the FIFO holds and raises one alarm per whole line.
void AlarmSource::ReadFifo(std::string &pending) {
    char chunk[512];
    ssize_t n = read(m_fifoRead, chunk, sizeof chunk);
    if (n > 0) pending.append(chunk, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        HandleLine(line);
    }
    if (pending.size() > 4096) pending.clear();  // not a line-oriented writer
}

void AlarmSource::Main() {
    prctl(PR_SET_NAME, "netlib-alarm", 0, 0, 0);
    using Clock = std::chrono::steady_clock;
    const Clock::duration interval = std::chrono::milliseconds(m_intervalMs);
    Clock::time_point due = Clock::now() + interval;
    std::string pending;
    bool watchFifo = m_fifoRead >= 0;

    for (;;) {
        int timeout = m_intervalMs > 0 ? MsUntil(due) : -1;
        struct pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_fifoRead, POLLIN, 0}};
        int ready = poll(fds, watchFifo ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && fds[0].revents != 0) break;
        short fifoEvents = ready > 0 && watchFifo ? fds[1].revents : 0;
        if ((fifoEvents & POLLIN) != 0)
            ReadFifo(pending);
        else if (fifoEvents != 0)
            watchFifo = false;  // an error that would wake poll() at once, forever
        if (m_intervalMs > 0 && Clock::now() >= due) {
            m_raise(0, "motion");
            due += interval;
            if (due < Clock::now()) due = Clock::now() + interval;
        }
    }
}

}  // namespace netlib_sim
