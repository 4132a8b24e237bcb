// Process entry: settings, camera credentials, SDK start-up, then the logic
// and discovery threads, restarted whenever either ends.
#include <signal.h>
#include <stdio.h>

#include "app/agent_settings.h"
#include "app/deployment_data.h"
#include "discovery/discovery_responder.h"
#include "logic/logic_thread.h"
#include "runtime/clock.h"
#include "runtime/ini.h"
#include "runtime/netlib.h"
#include "runtime/worker_thread.h"

namespace {
const int32_t kWorkerPeriodMs = 40;  // unused by run-once workers
const int kSuperviseIntervalMs = 1000;

void IgnoreSignal(int) {}

// The console may be a shared serial line or a log: never show the password.
const char *MaskedPassword(const std::string &password) { return password.empty() ? "" : "***"; }
}  // namespace

int main()
{
    signal(SIGPIPE, IgnoreSignal);
    // One line at a time, also when the console is a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    AgentSettings &settings = AgentSettings::instance();
    settings.m_Speak = 0;
    settings.m_ChannelCount = 1;

    CIni *ini = new CIni();
    int32_t loaded = ini->Load(kConfigFile, "r");
    settings.m_UserName = ini->GetValue("user0", "username");
    settings.m_Password = ini->GetValue("user0", "password");
    printf("read ini openfile:%d user:%s---pwd:%s\n", loaded, settings.m_UserName.c_str(),
           MaskedPassword(settings.m_Password));

    HI_NET_DEV_Init();

    WorkerThread *logic = new WorkerThread();
    WorkerThread *discovery = new WorkerThread();
    logic->Start(LogicThreadMain, nullptr, true, kWorkerPeriodMs);
    discovery->Start(DiscoveryResponder, nullptr, true, kWorkerPeriodMs);
    for (;;) {
        SleepMs(kSuperviseIntervalMs);
        if (!logic->IsRunning())
            logic->Start(LogicThreadMain, nullptr, true, kWorkerPeriodMs);
        if (!discovery->IsRunning())
            discovery->Start(DiscoveryResponder, nullptr, true, kWorkerPeriodMs);
    }
}
