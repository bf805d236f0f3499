// DirEntityIdentity: how a directory request names the entity it works on: the
// directory path, and for a service also its name and network address.
//
// A directory is named by its own full path; a service by the path of the
// directory that holds it, its name and its 6-byte network address (an empty
// address lets the server pick the first service of that name).
//
// Thread safety: a plain value; belongs to its operation.
#ifndef QORAPI_DIR_DIRENTITYIDENTITY_H
#define QORAPI_DIR_DIRENTITYIDENTITY_H

#include "QORSocket/InetAddress.h"
#include "common/ByteBuffer.h"
#include "dir/DirMessage.h"

#include <string>

namespace QORAPI {

struct DirEntityIdentity
{
    std::u16string mPath;
    std::u16string mName;              // services only
    SmartPtr<ByteBuffer> mNetAddress;  // services only

    // Appends: string path; for a service, string name and 1-byte-length address.
    void Pack(DirMessageWriter& writer, bool isService) const
    {
        writer.String(mPath);
        if (isService)
        {
            writer.String(mName);
            writer.Buffer1(mNetAddress);
        }
    }
};

// The 6-byte wire form of an address (empty buffer for an invalid one).
inline SmartPtr<ByteBuffer> NetAddressOf(const InetAddress& address)
{
    if (!address.IsValid())
        return new ByteBuffer(nullptr, 0);
    uint8_t six[6];
    address.GetSixBytes(six);
    return new ByteBuffer(six, 6);
}

// The entity a directory operation works on, with its setters: a directory's
// own path, or a service's directory, name and address. Operations on one
// entity take it as a second base beside their request base.
class DirEntityTarget
{
public:
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    const DirEntityIdentity& GetIdentity() const { return mIdentity; }
    bool IsService() const { return mIsService; }

protected:
    explicit DirEntityTarget(bool isService) : mIsService(isService) {}
    ~DirEntityTarget() = default;

    bool mIsService;
    DirEntityIdentity mIdentity;
};

} // namespace QORAPI

#endif
