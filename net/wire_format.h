#ifndef NET_WIRE_FORMAT_H
#define NET_WIRE_FORMAT_H

#include <stdint.h>

// Little-endian integers on the wire, written and read byte by byte so that
// the result does not depend on the host's byte order.

inline void PutLe16(unsigned char *out, uint32_t value)
{
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

inline void PutLe32(unsigned char *out, uint32_t value)
{
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>((value >> 16) & 0xFF);
    out[3] = static_cast<unsigned char>((value >> 24) & 0xFF);
}

inline uint32_t GetLe32(const unsigned char *in)
{
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

#endif
