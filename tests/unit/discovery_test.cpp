// LAN discovery: the probe comparison, the answer text and the set-up
// failure path. The broadcast itself is exercised end to end.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "discovery/discovery_responder.h"

namespace {

bool Probe(const std::string &datagram)
{
    // As the responder holds it: in a cleared 100-byte buffer.
    char buffer[kDiscoveryBufferSize] = {};
    memcpy(buffer, datagram.data(), std::min(datagram.size(), sizeof(buffer) - 1));
    return IsDiscoveryProbe(buffer, sizeof(buffer));
}

std::string Answer(const char *devId, const char *devIp, int *result)
{
    char buffer[kDiscoveryBufferSize];
    memset(buffer, 'X', sizeof(buffer));
    *result = FormatDiscoveryAnswer(buffer, sizeof(buffer), devId, devIp);
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
}

int OpenDescriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

} // namespace

TEST(DiscoveryProbe, MatchesOnlyTheExactText)
{
    EXPECT_TRUE(Probe("SEARCH * QUILMAR"));
    EXPECT_TRUE(Probe(std::string("SEARCH * QUILMAR\0junk after the NUL", 35)));

    EXPECT_FALSE(Probe("SEARCH * QUILMAR\n"));
    EXPECT_FALSE(Probe("SEARCH * QUILMAR\r\n"));
    EXPECT_FALSE(Probe("search * quilmar"));
    EXPECT_FALSE(Probe(" SEARCH * QUILMAR"));
    EXPECT_FALSE(Probe("SEARCH * QUILMA"));
    EXPECT_FALSE(Probe(""));
    // Our own answer comes back on the same port and is not a probe.
    EXPECT_FALSE(Probe("00000{\"devId\":\"\",\"devType\":\"8\",\"devIndexs\":\"1\",\"ip\":\"IP:\"}0"));

    // A datagram of exactly the 16 characters, without a NUL of its own.
    const char bare[16] = {'S', 'E', 'A', 'R', 'C', 'H', ' ', '*', ' ', 'Q', 'U', 'I', 'L', 'M', 'A', 'R'};
    EXPECT_TRUE(IsDiscoveryProbe(bare, sizeof(bare)));
    EXPECT_FALSE(IsDiscoveryProbe(bare, 15));
    EXPECT_FALSE(IsDiscoveryProbe(nullptr, 16));
}

TEST(DiscoveryAnswer, CarriesIdAndAddress)
{
    int result = 0;
    std::string answer = Answer("", "", &result);
    EXPECT_EQ("00000{\"devId\":\"\",\"devType\":\"8\",\"devIndexs\":\"1\",\"ip\":\"IP:\"}0", answer);
    EXPECT_EQ(59, result);
    EXPECT_EQ(59u, answer.size());

    answer = Answer("02:00:00:00:00:01", "192.0.2.1", &result);
    EXPECT_EQ("00000{\"devId\":\"02:00:00:00:00:01\",\"devType\":\"8\",\"devIndexs\":\"1\","
              "\"ip\":\"IP:192.0.2.1\"}0",
              answer);
    EXPECT_EQ(static_cast<int>(answer.size()), result);
}

TEST(DiscoveryAnswer, IdAndAddressMayHaveFortyCharactersTogether)
{
    int result = 0;
    std::string answer = Answer(std::string(25, 'i').c_str(), "255.255.255.255", &result);
    EXPECT_EQ(99, result); // the buffer's last byte stays the NUL
    EXPECT_EQ(99u, answer.size());

    answer = Answer(std::string(26, 'i').c_str(), "255.255.255.255", &result);
    EXPECT_EQ(-1, result);
    EXPECT_EQ("", answer); // cleared, nothing cut
}

TEST(DiscoveryServe, EndsWithFailureAndNoLeakWhenThePortIsTaken)
{
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    socklen_t length = sizeof(addr);
    ASSERT_EQ(0, getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &length));

    int before = OpenDescriptors();
    EXPECT_EQ(-1, DiscoveryServe(ntohs(addr.sin_port)));
    EXPECT_EQ(before, OpenDescriptors());
    close(holder);
}
