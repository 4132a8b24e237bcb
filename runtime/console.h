#ifndef RUNTIME_CONSOLE_H
#define RUNTIME_CONSOLE_H

#include <stddef.h>
#include <stdint.h>

#include "runtime/mutex.h"

// The agent's console: every diagnostic line goes through one of two
// writers, standard output and standard error. A console is worth less than
// the links: a reader that stalls (a wedged syslog pipe) or is gone costs
// lines, never a wait. Each line is written whole with a write that cannot
// block, or dropped and counted; when the console takes lines again, the
// first line says how many were lost.
class ConsoleWriter {
public:
    // The longest line written; a longer one is cut, keeping its newline.
    static const size_t kLineLimit = 1024;

    explicit ConsoleWriter(int fd);
    ConsoleWriter(const ConsoleWriter &) = delete;
    ConsoleWriter &operator=(const ConsoleWriter &) = delete;

    // Makes every later write unable to block: the descriptor gets an open
    // file description of its own, non-blocking, where it can (the shared
    // one may be a terminal that a shell reads too); a pipe that cannot be
    // opened again is made non-blocking as it is; a socket is written with
    // MSG_DONTWAIT; a terminal that cannot be opened again is written only
    // when poll says it takes data. A descriptor the process was started
    // without becomes /dev/null.
    void MakeNonBlocking();
    // Whole lines (a text of several lines stays together); a text that
    // does not end in a newline counts as one more line.
    void Write(const char *text, size_t length);
    // The rest of a line cut short, and the lost-lines line, if the console
    // takes them now.
    void Flush();
    uint32_t Lost();

private:
    enum Mode { kPollFirst, kDirect, kSocket };

    void PutCut(const char *line, size_t length);
    void Put(const char *line, size_t length);
    bool FinishPending();
    bool SayLost();
    bool Start(const char *line, size_t length);
    long WriteSome(const char *data, size_t length);
    bool Writable();
    bool OpenPrivate();
    void HoldWithNull();

    const int m_Fd;
    Mode m_Mode;    // set before any thread writes
    Mutex m_Lock;   // guards all below; held over non-blocking writes only
    uint32_t m_Lost;
    char m_Pending[kLineLimit]; // the unwritten rest of the last line
    size_t m_PendingLength;
    size_t m_PendingOffset;
};

ConsoleWriter &StandardOutput();
ConsoleWriter &StandardError();

// At start, before any other thread: both writers made non-blocking; when
// standard error is the same pipe or file as standard output, its lines go
// through standard output's writer.
void OpenConsole();
// One formatted text on standard output, or on standard error.
void ConsolePrint(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ConsoleError(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
