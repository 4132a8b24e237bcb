#include "logic/logic_thread.h"

#include "logic/server_logic.h"
#include "runtime/backoff.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/thread_name.h"

int LogicThreadMain(void *)
{
    NameThisThread("ca-logic");
    ConsolePrint("LogicThreadCall thread START  11111111111111111111111     \n");
    ConsolePrint("V1.0 ---- SERVER1: = %s\n", kDirectoryHosts[0]);
    CServerLogic *session = new CServerLogic();
    TcpConnection *directory = new TcpConnection();
    directory->Setup(kDirectorySlotSize, kDirectorySlotCount, DirectoryReplyHandler, nullptr);
    if (session->LoginDev() != 1) {
        session->LogoutDev();
        delete directory;
        delete session;
        return 0;
    }
    // A lookup without a usable answer is retried like a failed connect;
    // after a logic run has given up, the lookup is the next attempt of the
    // logic link's own schedule.
    Backoff lookups(kReconnectFirstMs, kReconnectCapMs);
    for (;;) {
        if (LookUpLogicServer(*directory, kDirectoryHosts, kDirectoryHostCount, kDirectoryPort)) {
            lookups.Reset();
            directory->Close();
            session->Run();
            SleepMs(static_cast<int>(session->MsUntilLogicRetry()));
        } else {
            SleepMs(static_cast<int>(lookups.Fail(MonotonicNowMs())));
        }
    }
}
