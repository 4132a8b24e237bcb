#ifndef ALARM_HTTP_POST_FILE_H
#define ALARM_HTTP_POST_FILE_H

#include <stdint.h>

typedef int32_t HttpUploadResult; // 1 success, -1 failure

// Posts one in-memory file as an HTTP/1.0 multipart/form-data upload. Keeps
// no state between calls; several calls may run at once.
class CHttpUploader {
public:
    // Sends the request on a private connection and reads the server's
    // final status within 10 seconds of the connect (which itself may take
    // 5). 1 only for a 2xx answer to the whole request; -1 for a malformed
    // URL, a URL or file name too long for the request's fixed lines, a
    // body over 524,288 bytes, a failed link, another status or no status
    // in time.
    HttpUploadResult HttpPostFile(const char *url, const unsigned char *data, int32_t length,
                                  const char *fileName);
};

#endif
