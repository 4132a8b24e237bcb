// Recording stand-in for the camera SDK, linked by unit and component
// tests. Every call appends one line to a journal; results and the data the
// calls hand back are set by the test.
#ifndef TESTS_SUPPORT_SDK_DOUBLE_H
#define TESTS_SUPPORT_SDK_DOUBLE_H

#include <functional>
#include <string>
#include <vector>

#include "runtime/netlib.h"

namespace sdk_double {

struct Settings {
    int loginResult = 0;
    unsigned int handle = 7;
    std::string deviceAddress = "192.0.2.1";  // record 4114
    char ptzByte = '0';                         // byte 7 of record 4096
    int startStreamResult = 0;
    int snapResult = 0;
    std::vector<unsigned char> jpeg = std::vector<unsigned char>(100, 0xAB);
    // Runs inside SetConfig, after the call is journalled, on the caller's thread.
    std::function<void(unsigned int command)> onSetConfig;
    // Runs inside PTZ_Ctrl_StandardEx, after the call is journalled, on the caller's thread.
    std::function<void(unsigned int code)> onPtz;
};

// Clears the journal and the registered callbacks and sets the settings.
void Reset(const Settings &settings = Settings());
Settings &Current();

// Journal lines, e.g. "Login admin pass 127.0.0.1 80", "SetConfig 4100 1,0,256,10,100,0,2",
// "SetConfig 4119 2015.06.01.12.30.45", "StartStream channel=1 stream=0 mode=0 mask=7",
// "StopStream", "MakeKeyFrame 12", "PTZ 12292", "SetStreamCallBack", "SnapJpeg 1048576".
std::vector<std::string> Journal();
// Lines that start with `prefix`.
std::vector<std::string> JournalMatching(const std::string &prefix);
void ClearJournal();

// Registered callbacks, to be driven by the test.
NetLibCallback StreamCallback();
void *StreamUserData();
NetLibCallback DataCallback();
void *DataUserData();
NetLibCallback EventCallback();

}  // namespace sdk_double

#endif
