#include "QORSocket/InetAddress.h"

#include <cstdlib>
#include <cstring>

namespace QORAPI {

InetAddress::InetAddress() : mKeepHostName(false), mValid(false)
{
    std::memset(&mSockAddr, 0, sizeof(mSockAddr));
}

InetAddress::InetAddress(const SockAddrIn& addr) : mKeepHostName(false), mSockAddr(addr), mValid(true)
{
    mSockAddr.family = SOCK_AF_INET;
}

InetAddress::InetAddress(const std::string& host, uint16_t port) : InetAddress()
{
    Set(host, port);
}

InetAddress::InetAddress(const std::string& text) : InetAddress()
{
    SetFromText(text);
}

InetAddress::InetAddress(uint32_t ipHostOrder, uint16_t port) : InetAddress()
{
    Set(ipHostOrder, port);
}

bool InetAddress::Set(const std::string& host, uint16_t port)
{
    if (host.find(':') != std::string::npos)
        return SetFromText(host);
    return SetHost(host, port);
}

bool InetAddress::SetHost(const std::string& host, uint16_t port)
{
    std::memset(&mSockAddr, 0, sizeof(mSockAddr));
    mValid = false;
    uint8_t addr[4];
    if (!SockParseDotted(host.c_str(), addr) && !SockResolveHost(host.c_str(), addr))
        return false;
    mHostName = mKeepHostName ? host : std::string();
    mSockAddr.family = SOCK_AF_INET;
    std::memcpy(mSockAddr.addr, addr, 4);
    SetPort(port);
    mValid = true;
    return true;
}

bool InetAddress::SetFromText(const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
    {
        std::memset(&mSockAddr, 0, sizeof(mSockAddr));
        mValid = false;
        return false;
    }
    const uint16_t port = static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
    return SetHost(text.substr(0, colon), port);
}

void InetAddress::Set(uint32_t ipHostOrder, uint16_t port)
{
    std::memset(&mSockAddr, 0, sizeof(mSockAddr));
    mHostName.clear();
    mSockAddr.family = SOCK_AF_INET;
    mSockAddr.addr[0] = static_cast<uint8_t>(ipHostOrder >> 24);
    mSockAddr.addr[1] = static_cast<uint8_t>(ipHostOrder >> 16);
    mSockAddr.addr[2] = static_cast<uint8_t>(ipHostOrder >> 8);
    mSockAddr.addr[3] = static_cast<uint8_t>(ipHostOrder);
    SetPort(port);
    mValid = true;
}

void InetAddress::SetSixBytes(const uint8_t bytes[6])
{
    std::memset(&mSockAddr, 0, sizeof(mSockAddr));
    mHostName.clear();
    mSockAddr.family = SOCK_AF_INET;
    std::memcpy(mSockAddr.port, bytes, 2);
    std::memcpy(mSockAddr.addr, bytes + 2, 4);
    mValid = true;
}

void InetAddress::GetSixBytes(uint8_t bytes[6]) const
{
    std::memcpy(bytes, mSockAddr.port, 2);
    std::memcpy(bytes + 2, mSockAddr.addr, 4);
}

std::string InetAddress::GetHost(bool useName) const
{
    if (useName && !mHostName.empty())
        return mHostName;
    return SockFormatAddr(mSockAddr.addr);
}

std::string InetAddress::GetText(bool useName) const
{
    return GetHost(useName) + ":" + std::to_string(GetPort());
}

uint16_t InetAddress::GetPort() const
{
    return static_cast<uint16_t>((mSockAddr.port[0] << 8) | mSockAddr.port[1]);
}

void InetAddress::SetPort(uint16_t port)
{
    mSockAddr.port[0] = static_cast<uint8_t>(port >> 8);
    mSockAddr.port[1] = static_cast<uint8_t>(port);
}

uint32_t InetAddress::GetIP() const
{
    return (static_cast<uint32_t>(mSockAddr.addr[0]) << 24) | (static_cast<uint32_t>(mSockAddr.addr[1]) << 16) |
           (static_cast<uint32_t>(mSockAddr.addr[2]) << 8) | static_cast<uint32_t>(mSockAddr.addr[3]);
}

bool InetAddress::operator==(const InetAddress& other) const
{
    return std::memcmp(mSockAddr.port, other.mSockAddr.port, 2) == 0 &&
           std::memcmp(mSockAddr.addr, other.mSockAddr.addr, 4) == 0;
}

bool InetAddress::operator<(const InetAddress& other) const
{
    uint8_t a[6], b[6];
    GetSixBytes(a);
    other.GetSixBytes(b);
    return std::memcmp(a, b, 6) < 0;
}

InetAddress InetAddress::GetLocalHost()
{
    std::string name;
    if (!SockGetHostName(name))
        return InetAddress();
    return InetAddress(name, 0);
}

} // namespace QORAPI
