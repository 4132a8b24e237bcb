#ifndef RUNTIME_THREAD_NAME_H
#define RUNTIME_THREAD_NAME_H

// Names the calling thread (at most 15 characters are kept), so that `top
// -H`, /proc/<pid>/task/*/comm and a debugger tell the agent's threads
// apart. Best effort: a failure changes nothing else.
void NameThisThread(const char *name);

#endif
