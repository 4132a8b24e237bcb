#include "net/receive_framing.h"

#include <string.h>

#include "net/wire_format.h"

int32_t DeliverFrames(unsigned char *buffer, int32_t capacity, int32_t fill, ReceiveCallback onReceive,
                      void *context)
{
    int32_t start = 0;
    while (fill - start >= 4) {
        uint32_t length = GetLe32(buffer + start);
        if (length > static_cast<uint32_t>(capacity - 4))
            return -1;
        int32_t body = static_cast<int32_t>(length);
        if (fill - start - 4 < body)
            break;
        onReceive(reinterpret_cast<const char *>(buffer + start + 4), body, context);
        start += 4 + body;
    }
    if (start > 0)
        memmove(buffer, buffer + start, static_cast<size_t>(fill - start));
    return fill - start;
}
