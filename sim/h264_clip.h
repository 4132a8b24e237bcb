// An H.264 Annex-B elementary stream cut into access units, the unit in
// which the simulated camera hands out frames.
#ifndef SIM_H264_CLIP_H
#define SIM_H264_CLIP_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace netlib_sim {

struct AccessUnit {
    size_t offset;  // of its first start code
    size_t size;    // up to the next access unit's first start code
    bool key;       // holds an IDR slice (NAL type 5)
};

// Cuts the stream into access units. Parameter sets, SEI and delimiters
// open a new unit once the current one has a slice, so the SPS and PPS in
// front of an IDR travel with it. Bytes before the first start code and
// trailing units without a slice are dropped.
std::vector<AccessUnit> SplitAccessUnits(const unsigned char *data, size_t size);

struct Clip {
    std::vector<unsigned char> bytes;
    std::vector<AccessUnit> units;
    size_t largestUnit = 0;

    // Index of the first key unit at or after `index`, wrapping around.
    size_t NextKey(size_t index) const;
};

// Reads and cuts a clip file. Fails (null, with a reason) when the file
// cannot be read or holds no key frame to start from.
std::shared_ptr<const Clip> LoadClip(const std::string &path, std::string *error);

}  // namespace netlib_sim

#endif
