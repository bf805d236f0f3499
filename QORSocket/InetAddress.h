// InetAddress: an IPv4 address and port, with the text form "host:port" and
// the six-byte wire form (port, then address, both in network byte order).
//
// Thread safety: a plain value; distinct objects are independent, one object
// belongs to one thread at a time.
#ifndef QORAPI_QORSOCKET_INETADDRESS_H
#define QORAPI_QORSOCKET_INETADDRESS_H

#include "platform/Socket.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class InetAddress
{
public:
    InetAddress();
    explicit InetAddress(const SockAddrIn& addr);
    InetAddress(const std::string& host, uint16_t port);   // Set(host, port)
    explicit InetAddress(const std::string& text);          // SetFromText
    InetAddress(uint32_t ipHostOrder, uint16_t port);

    // Dotted text or host name; false (and invalid) when it cannot be resolved.
    // A text holding a colon is taken as host:port and the port is ignored.
    bool Set(const std::string& host, uint16_t port);
    bool SetFromText(const std::string& text);
    void Set(uint32_t ipHostOrder, uint16_t port);
    void SetSixBytes(const uint8_t bytes[6]);
    void GetSixBytes(uint8_t bytes[6]) const;

    std::string GetHost(bool useName = false) const;
    std::string GetText(bool useName = false) const;
    uint16_t GetPort() const;
    void SetPort(uint16_t port);
    uint32_t GetIP() const;
    const SockAddrIn& GetSockAddr() const { return mSockAddr; }
    bool IsValid() const { return mValid; }

    void SetKeepHostName(bool keep) { mKeepHostName = keep; }
    bool GetKeepHostName() const { return mKeepHostName; }
    const std::string& GetHostName() const { return mHostName; }

    // Port and address bytes compared as in the wire form; names do not count.
    bool operator==(const InetAddress& other) const;
    bool operator!=(const InetAddress& other) const { return !(*this == other); }
    bool operator<(const InetAddress& other) const;

    static InetAddress GetLocalHost();

private:
    bool SetHost(const std::string& host, uint16_t port);

    bool mKeepHostName;
    std::string mHostName;
    SockAddrIn mSockAddr;
    bool mValid;
};

} // namespace QORAPI

#endif
