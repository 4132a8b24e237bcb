// Where the simulated camera's alarms come from: lines written to a control
// FIFO ("motion", "input") and, optionally, a motion alarm every interval.
// One thread waits in poll() on the FIFO and a wake pipe, so it costs
// nothing while idle and never keeps the process from exiting.
#ifndef SIM_ALARM_SOURCE_H
#define SIM_ALARM_SOURCE_H

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace netlib_sim {

class AlarmSource : public std::enable_shared_from_this<AlarmSource> {
public:
    // Called on the alarm thread with the data type (0 motion, 1 input), or
    // with an unknown line's text and type -1.
    using Raise = std::function<void(int type, const std::string &line)>;

    AlarmSource(std::string fifoPath, unsigned int intervalMs, Raise raise);
    ~AlarmSource();
    AlarmSource(const AlarmSource &) = delete;
    AlarmSource &operator=(const AlarmSource &) = delete;

    // Creates the FIFO when missing and starts the thread. False when
    // neither the FIFO nor an interval can produce alarms.
    bool Start();
    // Ends the thread and waits for it; called from inside an alarm
    // callback it cannot wait for itself, and the thread ends when the
    // callback returns.
    void Stop();

private:
    bool OpenFifo();
    void Main();
    void ReadFifo(std::string &pending);
    void HandleLine(std::string line);

    const std::string m_fifoPath;
    const unsigned int m_intervalMs;
    const Raise m_raise;
    int m_fifoRead = -1;
    int m_fifoKeep = -1;  // our own writer, so the read end never sees EOF
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace netlib_sim

#endif
