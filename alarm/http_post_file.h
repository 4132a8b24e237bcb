#ifndef ALARM_HTTP_POST_FILE_H
#define ALARM_HTTP_POST_FILE_H

#include <stdint.h>

typedef int32_t HttpUploadResult;  // 1 success, -1 failure

// Posts one in-memory file as an HTTP/1.0 multipart/form-data upload. Keeps
// no state between calls; several calls may run at once.
class CHttpUploader {
public:
    HttpUploadResult HttpPostFile(const char *url, const unsigned char *data, int32_t length,
                                  const char *fileName);
};

#endif
