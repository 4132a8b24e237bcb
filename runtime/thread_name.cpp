#include "runtime/thread_name.h"

#include <sys/prctl.h>

void NameThisThread(const char *name)
{
    if (name != nullptr)
        prctl(PR_SET_NAME, name, 0, 0, 0);
}
