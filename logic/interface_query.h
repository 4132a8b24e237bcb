#ifndef LOGIC_INTERFACE_QUERY_H
#define LOGIC_INTERFACE_QUERY_H

#include <string>
#include <vector>

// The questions the device id search asks about the network interfaces.
// The agent uses the system's; tests present any list they like.
class IInterfaceQuery {
public:
    virtual ~IInterfaceQuery() {}
    // The interface names, in the order the system lists them; false when
    // the list cannot be had.
    virtual bool List(std::vector<std::string> *names) = 0;
    virtual bool Flags(const std::string &name, unsigned int *flags) = 0;
    virtual bool HardwareAddress(const std::string &name, unsigned char mac[6]) = 0;
};

const unsigned int kInterfaceLoopbackFlag = 0x8;

// Asks the kernel through an IPv4 datagram socket, closed with the object.
class SystemInterfaceQuery : public IInterfaceQuery {
public:
    SystemInterfaceQuery();
    ~SystemInterfaceQuery() override;
    bool Ok() const { return m_Socket >= 0; }
    bool List(std::vector<std::string> *names) override;
    bool Flags(const std::string &name, unsigned int *flags) override;
    bool HardwareAddress(const std::string &name, unsigned char mac[6]) override;

private:
    int m_Socket;
};

// The device id: the MAC text ("%02X:..." upper case) of the first
// non-loopback interface with a hardware address whose name begins with
// "e". Prints each candidate with its running number. False when there is
// none.
bool FindDeviceMac(IInterfaceQuery &query, std::string *mac);

#endif
