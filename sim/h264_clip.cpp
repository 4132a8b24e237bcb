#include "sim/h264_clip.h"

#include <cstdio>

namespace netlib_sim {
namespace {

const unsigned int kNalSlice = 1;
const unsigned int kNalIdrSlice = 5;

bool IsSlice(unsigned int type) { return type == kNalSlice || type == kNalIdrSlice; }

// NAL types that may only come before the first slice of an access unit:
// SEI, SPS, PPS, access unit delimiter, and the reserved 14-18.
bool OpensUnit(unsigned int type) {
    return (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
}

bool IsStartCode(const unsigned char *p) { return p[0] == 0 && p[1] == 0 && p[2] == 1; }

// Whether a NAL unit of this type begins the next access unit after one
// that already holds a slice. first_mb_in_slice is the first field of the
// slice header; as an Exp-Golomb code it is 0 exactly when its first bit is
// set, and then the slice begins a new picture.
bool BeginsNextUnit(unsigned int type, const unsigned char *header, const unsigned char *end) {
    bool firstSliceOfPicture = header + 1 < end && (header[1] & 0x80) != 0;
    return OpensUnit(type) || (IsSlice(type) && firstSliceOfPicture);
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const unsigned char *data, size_t size) {
    std::vector<AccessUnit> units;
    bool open = false;      // an access unit has been started
    bool haveSlice = false;  // ... and holds a slice
    bool haveKey = false;
    size_t unitStart = 0;

    auto close = [&](size_t end) {
        if (open && haveSlice) units.push_back(AccessUnit{unitStart, end - unitStart, haveKey});
        open = false;
        haveSlice = false;
        haveKey = false;
    };

    for (size_t i = 0; i + 3 < size; ++i) {
        if (!IsStartCode(data + i)) continue;
        size_t nalStart = (i > 0 && data[i - 1] == 0) ? i - 1 : i;  // 4-byte start code
        size_t header = i + 3;
        unsigned int type = data[header] & 0x1f;
        bool startsUnit = !open || (haveSlice && BeginsNextUnit(type, data + header, data + size));
        if (startsUnit) {
            close(nalStart);
            open = true;
            unitStart = nalStart;
        }
        if (IsSlice(type)) haveSlice = true;
        if (type == kNalIdrSlice) haveKey = true;
        i = header;
    }
    close(size);
    return units;
}

size_t Clip::NextKey(size_t index) const {
    for (size_t n = 0; n < units.size(); ++n) {
        size_t candidate = (index + n) % units.size();
        if (units[candidate].key) return candidate;
    }
    return 0;
}

std::shared_ptr<const Clip> LoadClip(const std::string &path, std::string *error) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path;
        return nullptr;
    }
    auto clip = std::make_shared<Clip>();
    unsigned char chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        clip->bytes.insert(clip->bytes.end(), chunk, chunk + got);
    std::fclose(file);

    clip->units = SplitAccessUnits(clip->bytes.data(), clip->bytes.size());
    bool anyKey = false;
    for (const AccessUnit &unit : clip->units) {
        anyKey = anyKey || unit.key;
        if (unit.size > clip->largestUnit) clip->largestUnit = unit.size;
    }
    if (!anyKey) {
        *error = path + " holds no IDR access unit";
        return nullptr;
    }
    return clip;
}

}  // namespace netlib_sim
