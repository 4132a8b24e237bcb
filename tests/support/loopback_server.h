// A test peer on 127.0.0.1: listens on an ephemeral port, accepts one
// client at a time and reads or writes length-prefixed frames.
#ifndef TESTS_SUPPORT_LOOPBACK_SERVER_H
#define TESTS_SUPPORT_LOOPBACK_SERVER_H

#include <stdint.h>

#include <string>

class LoopbackServer {
public:
    // Listens on `address` (a 127.x.y.z text) and `port` (0: ephemeral).
    explicit LoopbackServer(const char *address = "127.0.0.1", unsigned short port = 0);
    ~LoopbackServer();

    unsigned short Port() const { return m_Port; }
    bool Listening() const { return m_Listen >= 0; }

    // Waits up to timeoutMs for a client; closes any earlier client first.
    bool Accept(int timeoutMs);
    bool HasClient() const { return m_Client >= 0; }
    void CloseClient();

    // Reads one frame body (kind byte first); false on time-out or close.
    bool ReadFrame(std::string *body, int timeoutMs);
    // Reads one text frame and returns its text without kind byte and NUL;
    // empty on time-out.
    std::string ReadText(int timeoutMs);
    // Reads exactly n raw bytes.
    bool ReadBytes(std::string *out, size_t n, int timeoutMs);
    // True when the client closed its end within timeoutMs (pending bytes
    // are discarded).
    bool WaitClosed(int timeoutMs);

    bool SendRaw(const std::string &bytes);
    // Frames a message text as the agent's peers do: length, '0', text, NUL.
    bool SendText(const std::string &text);

private:
    int m_Listen;
    int m_Client;
    unsigned short m_Port;
    std::string m_Pending;
};

// Frames a text the way senders do: 4-byte little-endian length, '0',
// the text, one NUL.
std::string FrameText(const std::string &text);

#endif
