#ifndef LOGIC_LOGIC_THREAD_H
#define LOGIC_LOGIC_THREAD_H

#include <stddef.h>
#include <stdint.h>

#include "net/tcp_connection.h"

const unsigned int kDirectoryPort = 8080;
const int32_t kDirectorySlotSize = 256;
const uint32_t kDirectorySlotCount = 1;

// The directory endpoints, in the order tried: deployment data, defined
// with the executable (app/deployment_data.cpp).
const size_t kDirectoryHostCount = 3;
extern const char *const kDirectoryHosts[kDirectoryHostCount];

// Entry of the logic thread: camera login, then for the life of the
// process a directory lookup and a logic session, each retried on the
// reconnect schedule (runtime/backoff.h). Returns only when the camera
// login fails.
int LogicThreadMain(void *arg);

// Receive callback of the directory connection: a type 1 answer sets the
// logic server's address in the settings.
void DirectoryReplyHandler(const char *body, int32_t length, void *context);

// One lookup: clears the logic server address, closes a connection left
// open, tries the endpoints in order on `port`, sends the request to the
// first that accepts and reads answers for up to 2999 ms. True when the
// settings then hold a usable address (non-empty, port above 0).
bool LookUpLogicServer(TcpConnection &directory, const char *const *hosts, size_t hostCount,
                       unsigned int port);

#endif
