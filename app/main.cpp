// Process entry: settings, camera credentials, SDK start-up, then the logic
// and discovery threads, restarted whenever either ends. SIGUSR1 asks for
// the status report, printed at the next supervision tick.
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <stdio.h>

#include <string>

#include "records/agent_settings.h"
#include "records/agent_status.h"
#include "app/deployment_data.h"
#include "app/status_report.h"
#include "discovery/discovery_responder.h"
#include "logic/logic_thread.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/ini.h"
#include "runtime/netlib.h"
#include "runtime/worker_thread.h"

namespace {
const int32_t kWorkerPeriodMs = 40;  // unused by run-once workers
const int kSuperviseIntervalMs = 1000;

void IgnoreSignal(int) {}

volatile sig_atomic_t g_StatusRequested = 0;

void RequestStatus(int)
{
    g_StatusRequested = 1;
}

// SIGUSR1 stays blocked in every thread but the main thread, and there only
// while it sleeps: the signal can then never cut short a socket call of a
// worker, and the threads that main starts inherit the blocked signal.
void BlockStatusSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// The main thread's signal mask with SIGUSR1 let in: the supervision
// sleep waits with it, so the signal is let in for the length of the wait
// and for no longer, in one system call.
sigset_t g_SleepMask;

void SuperviseSleep()
{
    struct timespec interval;
    interval.tv_sec = kSuperviseIntervalMs / 1000;
    interval.tv_nsec = static_cast<long>(kSuperviseIntervalMs % 1000) * 1000000L;
    pselect(0, nullptr, nullptr, nullptr, &interval, &g_SleepMask);
}

void PrintStatus()
{
    const AgentSettings &settings = AgentSettings::instance();
    std::string report = FormatStatusReport(AgentStatus::instance(), MonotonicNowMs(),
                                            settings.m_ChannelCount.load(), settings.m_ViedoQP.load());
    // One write, so no other thread's line lands inside the block.
    StandardOutput().Write(report.data(), report.size());
}

// The console may be a shared serial line or a log: never show the password.
const char *MaskedPassword(const std::string &password) { return password.empty() ? "" : "***"; }
}  // namespace

int main()
{
    signal(SIGPIPE, IgnoreSignal);
    OpenConsole();
    BlockStatusSignal();
    pthread_sigmask(SIG_BLOCK, nullptr, &g_SleepMask);
    sigdelset(&g_SleepMask, SIGUSR1);
    signal(SIGUSR1, RequestStatus);
    AgentStatus::instance();  // uptime counts from here
    // The agent's own lines bypass stdio; the camera SDK's lines, if it
    // prints any, go one line at a time too.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    AgentSettings &settings = AgentSettings::instance();
    settings.m_Speak = 0;
    settings.m_ChannelCount = 1;

    CIni *ini = new CIni();
    int32_t loaded = ini->Load(kConfigFile, "r");
    settings.m_UserName = ini->GetValue("user0", "username");
    settings.m_Password = ini->GetValue("user0", "password");
    ConsolePrint("read ini openfile:%d user:%s---pwd:%s\n", loaded, settings.m_UserName.c_str(),
                 MaskedPassword(settings.m_Password));

    HI_NET_DEV_Init();

    WorkerThread *logic = new WorkerThread();
    WorkerThread *discovery = new WorkerThread();
    logic->Start(LogicThreadMain, nullptr, true, kWorkerPeriodMs);
    discovery->Start(DiscoveryResponder, nullptr, true, kWorkerPeriodMs);
    for (;;) {
        SuperviseSleep();
        if (!logic->IsRunning())
            logic->Start(LogicThreadMain, nullptr, true, kWorkerPeriodMs);
        if (!discovery->IsRunning())
            discovery->Start(DiscoveryResponder, nullptr, true, kWorkerPeriodMs);
        if (g_StatusRequested) {
            g_StatusRequested = 0;
            PrintStatus();
        }
        // A console that takes lines again hears of the lost ones within a
        // second, also when nothing else is printed.
        StandardOutput().Flush();
        StandardError().Flush();
    }
}
