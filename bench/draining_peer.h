// A benchmark peer on 127.0.0.1 that accepts one client and reads
// everything it sends, counting the bytes; and the sending loops the
// benchmarks share.
#ifndef BENCH_DRAINING_PEER_H
#define BENCH_DRAINING_PEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "net/packet_buffer.h"
#include "net/tcp_connection.h"

class DrainingPeer {
public:
    DrainingPeer() : m_Listen(socket(AF_INET, SOCK_STREAM, 0)), m_Port(0), m_Received(0)
    {
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_Listen, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        listen(m_Listen, 1);
        socklen_t len = sizeof(addr);
        getsockname(m_Listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_Port = ntohs(addr.sin_port);
        m_Thread = std::thread([this] { Drain(); });
    }
    ~DrainingPeer()
    {
        m_Thread.join();
        close(m_Listen);
    }
    unsigned short Port() const { return m_Port; }
    int64_t Received() const { return m_Received.load(); }

private:
    void Drain()
    {
        int client = accept(m_Listen, nullptr, nullptr);
        if (client < 0)
            return;
        std::vector<char> buf(1 << 20);
        ssize_t got;
        while ((got = recv(client, buf.data(), buf.size(), 0)) > 0)
            m_Received.fetch_add(got, std::memory_order_relaxed);
        close(client);
    }

    int m_Listen;
    unsigned short m_Port;
    std::atomic<int64_t> m_Received;
    std::thread m_Thread;
};

// Sets the connection up with the given pool and connects it to the peer;
// on failure the benchmark is marked as failed and false returned.
inline bool ConnectToPeer(benchmark::State &state, TcpConnection &conn, const DrainingPeer &peer,
                          int32_t slotSize, uint32_t slotCount)
{
    conn.Setup(slotSize, slotCount, nullptr, nullptr);
    if (conn.Connect("127.0.0.1", peer.Port(), 5) == 1)
        return true;
    state.SkipWithError("connect failed");
    return false;
}

// The owner's own sending, as the relay loop does it: wait on the
// connection and send what it may.
inline void DriveSend(TcpConnection &conn)
{
    conn.Wait(100);
    conn.PollSend(0);
}

// Sends until a slot that video may take is free (the last kControlReserve
// are kept for control packets) or the connection is lost.
inline void WaitForVideoSlot(TcpConnection &conn)
{
    while (conn.FreeSlotCount() <= kControlReserve && conn.IsConnected())
        DriveSend(conn);
}

// Sends until nothing is queued or being sent, or the connection is lost.
inline void SendAllQueued(TcpConnection &conn)
{
    while (conn.IsConnected() && (conn.QueuedCount() > 0 || !conn.IsSendIdle()))
        DriveSend(conn);
}

#endif
