#include "logic/interface_query.h"

#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/console.h"

namespace {
const size_t kInterfaceListBytes = 2048;
const size_t kMacTextSize = 64;

void CopyName(struct ifreq *request, const std::string &name)
{
    memset(request, 0, sizeof(*request));
    strncpy(request->ifr_name, name.c_str(), IFNAMSIZ - 1);
}
}  // namespace

SystemInterfaceQuery::SystemInterfaceQuery() : m_Socket(socket(AF_INET, SOCK_DGRAM, 0)) {}

SystemInterfaceQuery::~SystemInterfaceQuery()
{
    if (m_Socket >= 0)
        close(m_Socket);
}

bool SystemInterfaceQuery::List(std::vector<std::string> *names)
{
    if (m_Socket < 0)
        return false;
    // Records are sizeof(struct ifreq) long: 32 bytes on the camera, more on
    // 64-bit hosts.
    struct ifreq records[kInterfaceListBytes / sizeof(struct ifreq)];
    struct ifconf conf;
    memset(&conf, 0, sizeof(conf));
    conf.ifc_len = sizeof(records);
    conf.ifc_req = records;
    if (ioctl(m_Socket, SIOCGIFCONF, &conf) != 0)
        return false;
    size_t count = static_cast<size_t>(conf.ifc_len) / sizeof(struct ifreq);
    for (size_t i = 0; i < count; ++i)
        names->push_back(std::string(records[i].ifr_name, strnlen(records[i].ifr_name, IFNAMSIZ)));
    return true;
}

bool SystemInterfaceQuery::Flags(const std::string &name, unsigned int *flags)
{
    struct ifreq request;
    CopyName(&request, name);
    if (ioctl(m_Socket, SIOCGIFFLAGS, &request) != 0)
        return false;
    *flags = static_cast<unsigned short>(request.ifr_flags);
    return true;
}

bool SystemInterfaceQuery::HardwareAddress(const std::string &name, unsigned char mac[6])
{
    struct ifreq request;
    CopyName(&request, name);
    if (ioctl(m_Socket, SIOCGIFHWADDR, &request) != 0)
        return false;
    memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    return true;
}

bool FindDeviceMac(IInterfaceQuery &query, std::string *mac)
{
    std::vector<std::string> names;
    if (!query.List(&names))
        return false;
    int number = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        unsigned int flags = 0;
        if (!query.Flags(names[i], &flags) || (flags & kInterfaceLoopbackFlag) != 0)
            continue;
        unsigned char hw[6];
        if (!query.HardwareAddress(names[i], hw))
            continue;
        char text[kMacTextSize];
        snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", hw[0], hw[1], hw[2], hw[3], hw[4],
                 hw[5]);
        ++number;
        ConsolePrint("%d,Interface name : %s , Mac address : %s \n", number, names[i].c_str(), text);
        if (names[i][0] == 'e') {
            *mac = text;
            return true;
        }
    }
    ConsolePrint("get mac info error\n");
    return false;
}
