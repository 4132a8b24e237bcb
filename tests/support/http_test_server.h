// An in-test HTTP server on 127.0.0.1 for the snapshot upload: a thread
// that takes one request per connection (head up to its empty line, then
// Content-Length bytes of body), keeps a copy, answers with a fixed text and
// closes. Header-only so any test executable can use it.
#ifndef TESTS_SUPPORT_HTTP_TEST_SERVER_H
#define TESTS_SUPPORT_HTTP_TEST_SERVER_H

#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_server.h"

struct HttpExchange {
    std::string head; // up to and including the empty line
    std::string body;
    bool complete = false; // the head and Content-Length bytes of body arrived
    std::string trailing;  // bytes after the body (read only with waitForClientClose)
};

struct HttpAnswer {
    // Sent as soon as the head is in, before the body is read (e.g. an
    // interim "100 Continue").
    std::string afterHead;
    // Run once the whole request is in, before `final` is sent.
    std::function<void()> beforeFinal;
    // Sent after the request; empty sends nothing.
    std::string final;
    // Keep the connection open after the answer until the client closes,
    // keeping whatever else it sends.
    bool waitForClientClose = false;
};

class HttpTestServer {
public:
    explicit HttpTestServer(const HttpAnswer &answer) : m_Answer(answer), m_Stop(false)
    {
        m_Thread = std::thread([this] { Serve(); });
    }
    ~HttpTestServer()
    {
        m_Stop = true;
        m_Thread.join();
    }

    unsigned short Port() const { return m_Server.Port(); }
    std::string Url(const std::string &path = "/up/load.php?x=1") const
    {
        return "http://127.0.0.1:" + std::to_string(Port()) + path;
    }

    // Connections accepted so far.
    size_t Connections()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Exchanges.size();
    }
    // Waits until `count` connections are done with (answered and closed).
    bool WaitDone(size_t count, int timeoutMs)
    {
        std::unique_lock<std::mutex> guard(m_Lock);
        return m_Changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_Done >= count; });
    }
    std::vector<HttpExchange> Exchanges()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Exchanges;
    }

private:
    void Serve()
    {
        while (!m_Stop) {
            if (!m_Server.Accept(50))
                continue;
            {
                std::lock_guard<std::mutex> guard(m_Lock);
                m_Exchanges.push_back(HttpExchange());
            }
            HttpExchange exchange = ReadRequest();
            {
                std::lock_guard<std::mutex> guard(m_Lock);
                m_Exchanges.back() = exchange;
            }
            if (exchange.complete) {
                if (m_Answer.beforeFinal)
                    m_Answer.beforeFinal();
                if (!m_Answer.final.empty())
                    m_Server.SendRaw(m_Answer.final);
                std::string byte;
                while (m_Answer.waitForClientClose && m_Server.ReadBytes(&byte, 1, 20000))
                    exchange.trailing += byte;
                std::lock_guard<std::mutex> guard(m_Lock);
                m_Exchanges.back().trailing = exchange.trailing;
            }
            m_Server.CloseClient();
            {
                std::lock_guard<std::mutex> guard(m_Lock);
                ++m_Done;
            }
            m_Changed.notify_all();
        }
    }

    HttpExchange ReadRequest()
    {
        HttpExchange exchange;
        std::string byte;
        while (exchange.head.size() < 65536 && exchange.head.find("\r\n\r\n") == std::string::npos) {
            if (!m_Server.ReadBytes(&byte, 1, 5000))
                return exchange;
            exchange.head += byte;
        }
        if (!m_Answer.afterHead.empty())
            m_Server.SendRaw(m_Answer.afterHead);
        const std::string key = "\r\nContent-Length: ";
        size_t at = exchange.head.find(key);
        if (at == std::string::npos)
            return exchange;
        size_t length = strtoul(exchange.head.c_str() + at + key.size(), nullptr, 10);
        if (!m_Server.ReadBytes(&exchange.body, length, 5000))
            return exchange;
        exchange.complete = true;
        return exchange;
    }

    LoopbackServer m_Server;
    HttpAnswer m_Answer;
    std::atomic<bool> m_Stop;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<HttpExchange> m_Exchanges;
    size_t m_Done = 0;
    std::thread m_Thread;
};

#endif
