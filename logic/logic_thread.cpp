#include "logic/logic_thread.h"

#include <stdio.h>

#include "logic/server_logic.h"
#include "runtime/clock.h"
#include "runtime/thread_name.h"

namespace {
const int kPauseMs = 10000;
}

int LogicThreadMain(void *)
{
    NameThisThread("ca-logic");
    printf("LogicThreadCall thread START  11111111111111111111111     \n");
    printf("V1.0 ---- SERVER1: = %s\n", kDirectoryHosts[0]);
    CServerLogic *session = new CServerLogic();
    TcpConnection *directory = new TcpConnection();
    directory->Setup(kDirectorySlotSize, kDirectorySlotCount, DirectoryReplyHandler, nullptr);
    if (session->LoginDev() != 1) {
        session->LogoutDev();
        delete directory;
        delete session;
        return 0;
    }
    for (;;) {
        if (LookUpLogicServer(*directory, kDirectoryHosts, kDirectoryHostCount, kDirectoryPort)) {
            directory->Close();
            session->Run();
        }
        SleepMs(kPauseMs);
    }
}
