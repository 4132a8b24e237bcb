// The console writer: a console that is not read, or whose reader is gone,
// costs lines, counted and said later, never a wait; what the reader gets
// is whole lines.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console.h"
#include "tests/support/text_lines.h"

namespace {

const char kLostPrefix[] = "console: ";
const char kLostSuffix[] = " lines lost (the console did not take them)";

// Everything the descriptor holds now, without waiting.
std::string Drain(int fd)
{
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

// The count a lost-lines line gives, or -1 for another line.
long LostCount(const std::string &line)
{
    std::string prefix(kLostPrefix), suffix(kLostSuffix);
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() < prefix.size() + suffix.size() ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    return strtol(line.c_str() + prefix.size(), nullptr, 10);
}

// "line <n> " padded with a letter to `size` bytes, newline included.
std::string Numbered(int n, size_t size)
{
    std::string line = "line " + std::to_string(n) + " ";
    line.append(size - 1 - line.size(), 'a' + n % 26);
    return line + "\n";
}

// Checks that every line is a whole Numbered line or a lost-lines line, and
// returns the numbers seen; *lostSaid adds up the lost counts.
std::set<int> WholeLines(const std::vector<std::string> &lines, size_t size, long *lostSaid)
{
    std::set<int> seen;
    for (const std::string &line : lines) {
        long lost = LostCount(line);
        if (lost >= 0) {
            *lostSaid += lost;
            continue;
        }
        int n = atoi(line.c_str() + 5);
        EXPECT_EQ(Numbered(n, size), line + "\n") << "a line cut or mixed";
        EXPECT_TRUE(seen.insert(n).second) << "line " << n << " twice";
    }
    return seen;
}

class Pipe {
public:
    Pipe()
    {
        EXPECT_EQ(0, pipe(m_Fd));
        fcntl(m_Fd[0], F_SETFL, O_NONBLOCK);
        fcntl(m_Fd[1], F_SETPIPE_SZ, 4096); // one page: fills at once
    }
    ~Pipe()
    {
        CloseRead();
        close(m_Fd[1]);
    }
    int Read() const { return m_Fd[0]; }
    int Write() const { return m_Fd[1]; }
    void CloseRead()
    {
        if (m_Fd[0] >= 0)
            close(m_Fd[0]);
        m_Fd[0] = -1;
    }

private:
    int m_Fd[2];
};

TEST(ConsoleWriter, FullPipeCostsLinesAndTheFirstLineAfterSaysHowMany)
{
    Pipe pipe;
    int shared = dup(pipe.Write()); // e.g. the shell that started the agent
    ConsoleWriter writer(pipe.Write());
    writer.MakeNonBlocking();
    EXPECT_NE(0, fcntl(pipe.Write(), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(0, fcntl(shared, F_GETFL) & O_NONBLOCK) << "another holder's description changed";
    close(shared);
    int written = 0;
    while (writer.Lost() == 0 && written < 1000) {
        std::string line = Numbered(written++, 128); // 32 fill the page exactly
        writer.Write(line.data(), line.size());
    }
    ASSERT_EQ(1u, writer.Lost()) << "a full pipe never refused a line";
    // A block of three lines finds the pipe still full: three more lost.
    std::string block = Numbered(2000, 128) + Numbered(2001, 128) + Numbered(2002, 128);
    writer.Write(block.data(), block.size());
    EXPECT_EQ(4u, writer.Lost());

    std::vector<std::string> before = Lines(Drain(pipe.Read()));
    EXPECT_EQ(32u, before.size());
    writer.Flush();
    std::string longLine(3000, 'x');
    writer.Write(longLine.data(), longLine.size());
    std::vector<std::string> after = Lines(Drain(pipe.Read()));
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ(4, LostCount(after[0]));
    EXPECT_EQ(std::string(ConsoleWriter::kLineLimit - 1, 'x'), after[1]) << "cut to the limit, one line";
    EXPECT_EQ(0u, writer.Lost());
}

TEST(ConsoleWriter, GoneReaderCostsLinesNotTheProcess)
{
    // As in the agent, a write to a pipe without reader returns an error.
    void (*previous)(int) = signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.CloseRead();
    ConsoleWriter writer(pipe.Write());
    writer.MakeNonBlocking();
    for (int i = 0; i < 5; ++i)
        writer.Write("gone\n", 5);
    writer.Flush();
    EXPECT_EQ(5u, writer.Lost());
    signal(SIGPIPE, previous);
}

// An agent started with its standard output closed: the number must not
// go to the next socket or pipe, which would then carry console lines.
TEST(ConsoleWriter, MissingDescriptorIsHeldByDevNull)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    int missing = fds[1];
    close(missing);
    ConsoleWriter writer(missing);
    writer.MakeNonBlocking();
    int later[2];
    ASSERT_EQ(0, pipe(later));
    EXPECT_NE(missing, later[0]);
    EXPECT_NE(missing, later[1]);
    writer.Write("nowhere\n", 8);
    EXPECT_EQ(0u, writer.Lost());
    EXPECT_EQ("", Drain(fds[0]));
    close(missing);
    close(later[0]);
    close(later[1]);
    close(fds[0]);
}

// A terminal takes part of a write when its buffer is nearly full: the rest
// of that line goes first once it drains, and no other line lands inside.
TEST(ConsoleWriter, TerminalTakingPartOfALineStillGetsWholeLines)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, O_NONBLOCK);

    const size_t size = 333;
    ConsoleWriter writer(slave);
    writer.MakeNonBlocking();
    int written = 0;
    while (writer.Lost() < 3 && written < 2000) {
        std::string line = Numbered(written++, size);
        writer.Write(line.data(), line.size());
    }
    ASSERT_GE(writer.Lost(), 3u) << "the terminal never filled";
    uint32_t lost = writer.Lost();
    // The terminal passes data on in its own time, later on a busy
    // machine: drain until the writer has said what it lost, then until the
    // line after the stall is through.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string got;
    while (writer.Lost() != 0 && std::chrono::steady_clock::now() < deadline) {
        got += Drain(master);
        writer.Flush();
        usleep(1000);
    }
    std::string last = Numbered(written++, size);
    writer.Write(last.data(), last.size());
    while (got.find(last) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        got += Drain(master);
        usleep(1000);
    }
    long lostSaid = 0;
    std::set<int> seen = WholeLines(Lines(got), size, &lostSaid);
    EXPECT_EQ(static_cast<long>(lost), lostSaid);
    EXPECT_EQ(static_cast<size_t>(written) - lost, seen.size());
    EXPECT_EQ(1u, seen.count(written - 1)) << "the line after the stall";
    close(slave);
    close(master);
}

// Several threads print while the reader stalls for a while: each line
// arrives whole or is counted, never both, never in part.
TEST(ConsoleWriter, ThreadsPrintingIntoAStalledPipe)
{
    Pipe pipe;
    ConsoleWriter writer(pipe.Write());
    writer.MakeNonBlocking();
    const int kThreads = 4, kEach = 400;
    const size_t size = 120;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&writer, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string line = Numbered(t * kEach + i, size);
                writer.Write(line.data(), line.size());
                if (i % 50 == 0)
                    usleep(1000);
            }
        });
    std::string got;
    for (int round = 0; round < 40; ++round) {
        if (round % 10 < 5) // the reader stalls half the time
            got += Drain(pipe.Read());
        usleep(2000);
    }
    for (std::thread &thread : threads)
        thread.join();
    got += Drain(pipe.Read());
    writer.Flush();
    got += Drain(pipe.Read());
    long lostSaid = 0;
    std::set<int> seen = WholeLines(Lines(got), size, &lostSaid);
    EXPECT_GT(lostSaid, 0) << "the stalls lost nothing: did the pipe fill?";
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size() + static_cast<size_t>(lostSaid));
    EXPECT_EQ(0u, writer.Lost());
}

} // namespace
