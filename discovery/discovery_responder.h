#ifndef DISCOVERY_DISCOVERY_RESPONDER_H
#define DISCOVERY_DISCOVERY_RESPONDER_H

#include <stddef.h>
#include <stdint.h>

// LAN discovery: a tool on the local network sends the probe to UDP port
// 48000; the camera answers each probe with one broadcast to port 48000
// that carries its device id and address. Under a flood of probes the
// answers leave at a bounded rate (answer_rate_limit.h); the probes left
// unanswered are counted in the status report.

const uint16_t kDiscoveryPort = 48000;
const size_t kDiscoveryBufferSize = 100;

// Body of the discovery thread: serves on kDiscoveryPort until a socket
// call fails, then returns -1. The argument is not used.
int32_t DiscoveryResponder(void *arg);

// The same on any port: listens on it, answers from it and broadcasts the
// answer to it.
int32_t DiscoveryServe(uint16_t port);

// True when the datagram, read as text up to its first NUL, is exactly the
// probe.
bool IsDiscoveryProbe(const char *datagram, size_t length);

// The answer text into a cleared buffer. Returns its length, or -1 (buffer
// cleared) when device id and address are too long for it.
int FormatDiscoveryAnswer(char *buf, size_t size, const char *devId, const char *devIp);

#endif
