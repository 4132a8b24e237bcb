#ifndef NET_RECEIVE_FRAMING_H
#define NET_RECEIVE_FRAMING_H

#include <stdint.h>

#include "net/tcp_connection.h"

// The receive side's framing on the bytes already read: hands every
// complete frame at the front of `buffer` (`capacity` bytes, of which
// `fill` are read) to `onReceive` in place, then moves the partial tail to
// the front once. Returns the bytes left, or -1 when a frame announces more
// than the buffer can hold behind its 4-byte length (the link cannot carry
// on). Kept apart from the socket so that it can be driven from memory.
int32_t DeliverFrames(unsigned char *buffer, int32_t capacity, int32_t fill, ReceiveCallback onReceive,
                      void *context);

#endif
