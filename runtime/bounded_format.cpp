#include "runtime/bounded_format.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int FormatBounded(char *buf, size_t size, const char *format, ...)
{
    if (buf == nullptr || size == 0)
        return -1;
    memset(buf, 0, size);
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buf, size, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        memset(buf, 0, size);
        return -1;
    }
    return length;
}
