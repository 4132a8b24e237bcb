#ifndef CHANNEL_CAMERA_NOTIFY_H
#define CHANNEL_CAMERA_NOTIFY_H

#include <stdint.h>

#include "protocol/message.h"

// Event kinds carried by NotifyEvent.
const int32_t kEventRelayRequest = 1;   // on a channel's request queue
const int32_t kEventCameraState = 2;    // channel -> session
const int32_t kEventLoginRetry = 3;     // dispatcher -> session

struct NotifyEvent {
    NotifyEvent() : kind(0) {}
    explicit NotifyEvent(int32_t eventKind) : kind(eventKind) {}
    int32_t kind;
    MessageFields fields;
};

// How a camera channel tells whoever owns it that its relay link came up
// or went down.
class ICameraNotify {
public:
    virtual ~ICameraNotify() {}
    virtual void notify(const NotifyEvent &event) { (void)event; }
};

#endif
