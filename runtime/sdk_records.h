// Records and codes exchanged with the camera SDK. The layouts are pinned:
// the SDK reads them as raw bytes on a 32-bit little-endian camera.
#ifndef RUNTIME_SDK_RECORDS_H
#define RUNTIME_SDK_RECORDS_H

#include <stddef.h>
#include <stdint.h>

// Configuration commands.
const unsigned int kSdkConfigDeviceAddress = 4114; // 248 bytes, address text first
const unsigned int kSdkConfigDeviceInfo = 4096;    // 64 bytes, byte 7: pan/tilt mark
const unsigned int kSdkConfigVideo = 4100;         // VideoSettings
const unsigned int kSdkConfigDeviceTime = 4119;    // DeviceTimeRecord

const unsigned int kSdkDeviceAddressSize = 248;
const unsigned int kSdkDeviceInfoSize = 64;
const unsigned int kSdkDeviceInfoPtzByte = 7;

// Stream callback data types.
const unsigned int kSdkStreamFrame = 0;
const unsigned int kSdkStreamInfo = 1;
// Data callback types (alarms).
const unsigned int kSdkAlarmMotion = 0;
const unsigned int kSdkAlarmInput = 1;

// Key frame requests.
const unsigned int kSdkMainStream = 11;
const unsigned int kSdkSubStream = 12;

const unsigned int kSdkPtzBase = 12288;
const int kSdkSnapshotCapacity = 1048576;

// Media frame header delivered with data type 0.
const uint32_t kSdkFrameMagic = 0x46565848; // "HXVF"
const size_t kSdkFrameHeaderSize = 16;
const uint32_t kSdkKeyFrameType = 1;

struct StreamStartRecord {
    uint32_t channel; // 1
    uint32_t stream;  // 1 main, 0 sub
    uint32_t mode;    // 0
    uint8_t mask;     // 7
    uint8_t reserved[3];
};
static_assert(sizeof(StreamStartRecord) == 16, "stream start record is 16 bytes");
static_assert(offsetof(StreamStartRecord, stream) == 4, "stream selector at byte 4");
static_assert(offsetof(StreamStartRecord, mode) == 8, "mode at byte 8");
static_assert(offsetof(StreamStartRecord, mask) == 12, "content mask at byte 12");

struct VideoSettings {
    int32_t channel;
    int32_t stream; // 1 main, 0 sub
    int32_t bitRate;
    int32_t frameRate;
    int32_t keyFrameInterval;
    int32_t constantBitRate;
    int32_t imageQuality;
};
static_assert(sizeof(VideoSettings) == 28, "video settings are 28 bytes");
static_assert(offsetof(VideoSettings, frameRate) == 12, "frame rate at byte 12");
static_assert(offsetof(VideoSettings, imageQuality) == 24, "image quality at byte 24");

struct DeviceTimeRecord {
    char text[32]; // "2015.06.01.12.30.45", zero-filled
};
static_assert(sizeof(DeviceTimeRecord) == 32, "device time record is 32 bytes");

#endif
