#ifndef RUNTIME_BOUNDED_FORMAT_H
#define RUNTIME_BOUNDED_FORMAT_H

#include <stddef.h>

// printf-style formatting into a fixed buffer that is cleared first.
// Returns the text's length; when the text and its terminating zero do not
// fit, the buffer is left all zero and the result is -1, so nothing is ever
// cut or written past the buffer.
int FormatBounded(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

#endif
