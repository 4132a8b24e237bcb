#include "sim/h264_clip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

using netlib_sim::AccessUnit;
using netlib_sim::LoadClip;
using netlib_sim::SplitAccessUnits;

namespace {

using Bytes = std::vector<unsigned char>;

// Appends one NAL unit: start code, header byte of `type`, then `first`
// (for slices: 0x80 is first_mb_in_slice 0, 0x40 a later slice).
void Nal(Bytes &out, unsigned char type, unsigned char first, bool longStartCode = true) {
    if (longStartCode) out.push_back(0);
    out.insert(out.end(), {0, 0, 1, static_cast<unsigned char>(0x60 | type), first, 0x11, 0x22});
}

TEST(ClipParser, KeepsParameterSetsWithTheIdrAndSplitsPictures) {
    Bytes stream = {0x55, 0x66};  // junk before the first start code
    Nal(stream, 7, 0x42);         // SPS
    Nal(stream, 8, 0xce, false);  // PPS
    Nal(stream, 5, 0x88);         // IDR, first slice
    Nal(stream, 5, 0x40);         // IDR, second slice of the same picture
    Nal(stream, 1, 0x9a);         // P
    Nal(stream, 9, 0xf0);         // delimiter opens the next unit
    Nal(stream, 1, 0x9a, false);  // P
    Nal(stream, 7, 0x42);
    Nal(stream, 8, 0xce);
    Nal(stream, 5, 0x88);
    Nal(stream, 7, 0x42);  // parameter sets with no slice after them

    std::vector<AccessUnit> units = SplitAccessUnits(stream.data(), stream.size());
    ASSERT_EQ(units.size(), 4u);
    EXPECT_TRUE(units[0].key);
    EXPECT_FALSE(units[1].key);
    EXPECT_FALSE(units[2].key);
    EXPECT_TRUE(units[3].key);
    // The first unit starts at the SPS start code and runs to the P slice.
    EXPECT_EQ(units[0].offset, 2u);
    EXPECT_EQ(units[0].size, 8u + 7u + 8u + 8u);
    EXPECT_EQ(stream[units[0].offset + 4], 0x67);
    EXPECT_EQ(stream[units[2].offset + 4], 0x69);  // the delimiter leads its unit
    for (size_t i = 0; i + 1 < units.size(); ++i)
        EXPECT_EQ(units[i].offset + units[i].size, units[i + 1].offset);
    EXPECT_EQ(stream[units[3].offset + 4], 0x67);
}

TEST(ClipParser, ShippedClipsHaveAKeyFrameEveryTenUnits) {
    for (const char *name : {"testpattern_640x360.h264", "testpattern_1280x720.h264"}) {
        std::string error;
        auto clip = LoadClip(std::string(NETLIB_SIM_MEDIA_DIR) + "/" + name, &error);
        ASSERT_TRUE(clip) << error;
        ASSERT_EQ(clip->units.size(), 40u) << name;
        for (size_t i = 0; i < clip->units.size(); ++i) EXPECT_EQ(clip->units[i].key, i % 10 == 0) << i;
        EXPECT_EQ(clip->NextKey(0), 0u);
        EXPECT_EQ(clip->NextKey(13), 20u);
        EXPECT_EQ(clip->NextKey(31), 0u);  // wraps to the start
    }
}

TEST(ClipParser, RefusesClipsWithoutKeyFrameOrFile) {
    Bytes stream;
    Nal(stream, 1, 0x80);
    Nal(stream, 1, 0x80);
    char path[] = "/tmp/sim_clip_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *file = fdopen(fd, "wb");
    fwrite(stream.data(), 1, stream.size(), file);
    fclose(file);
    std::string error;
    EXPECT_FALSE(LoadClip(path, &error));
    EXPECT_NE(error.find("no IDR"), std::string::npos);
    unlink(path);
    EXPECT_FALSE(LoadClip("/nonexistent/clip.h264", &error));
}

}  // namespace
