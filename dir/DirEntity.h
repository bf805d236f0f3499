// DirEntity: one entity of the directory service, a directory or a service
// (an address at which a server listens), as the client holds it after a reply.
//
// Fields the server did not send keep their defaults (empty strings, zero
// values, no address).
//
// Thread safety: distinct objects are safe. An entity is filled by the parser
// of one operation and read afterwards; share it only once it is complete.
#ifndef QORAPI_DIR_DIRENTITY_H
#define QORAPI_DIR_DIRENTITY_H

#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "dir/DirGetFlags.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace QORAPI {

class InetAddress;

// A typed data object attached to an entity.
struct DirDataObject
{
    std::string mType;
    SmartPtr<ByteBuffer> mData;
};
typedef std::vector<DirDataObject> DirDataObjectList;

// One permission of an access-control list; the values are the server's.
struct DirPermission
{
    uint8_t mACLType = 0;
    uint32_t mValue1 = 0;
    uint32_t mValue2 = 0;
    uint16_t mValue3 = 0;
};
typedef std::vector<DirPermission> DirPermissionList;

class DirEntity : public RefCount
{
public:
    DirEntity() = default;
    ~DirEntity() override = default;

    uint8_t GetType() const { return mType; }
    void SetType(uint8_t type) { mType = type; }
    bool IsDirectory() const { return mType == DirEntityType_Directory; }
    bool IsService() const { return mType == DirEntityType_Service; }

    // The directory in which the entity lies (empty when the server did not send it).
    const std::u16string& GetPath() const { return mPath; }
    void SetPath(const std::u16string& path) { mPath = path; }
    const std::u16string& GetName() const { return mName; }
    void SetName(const std::u16string& name) { mName = name; }
    const std::u16string& GetDisplayName() const { return mDisplayName; }
    void SetDisplayName(const std::u16string& name) { mDisplayName = name; }

    // The four server-defined values (get flags 0x100, 0x40, 0x80, 0x2000); index 0..3.
    uint32_t GetValue(int index) const { return (index >= 0 && index < 4) ? mValues[index] : 0; }
    void SetValue(int index, uint32_t value) { if (index >= 0 && index < 4) mValues[index] = value; }

    bool GetDirFlag() const { return mDirFlag; }
    void SetDirFlag(bool flag) { mDirFlag = flag; }

    // Network address of a service: 2-byte port and 4-byte IPv4 address, both
    // in network byte order (longer buffers are kept whole).
    const SmartPtr<ByteBuffer>& GetNetAddress() const { return mNetAddress; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& addr) { mNetAddress = addr; }
    // The network address as an InetAddress; invalid when fewer than 6 bytes are held.
    InetAddress GetAddress() const;

    DirDataObjectList& GetDataObjects() { return mDataObjects; }
    const DirDataObjectList& GetDataObjects() const { return mDataObjects; }
    // The first data object of the type, or null.
    const DirDataObject* FindDataObject(const std::string& type) const;

    DirPermissionList& GetPermissions() { return mPermissions; }
    const DirPermissionList& GetPermissions() const { return mPermissions; }

private:
    uint8_t mType = DirEntityType_Unknown;
    std::u16string mPath;
    std::u16string mName;
    std::u16string mDisplayName;
    uint32_t mValues[4] = {0, 0, 0, 0};
    bool mDirFlag = false;
    SmartPtr<ByteBuffer> mNetAddress;
    DirDataObjectList mDataObjects;
    DirPermissionList mPermissions;
};

typedef SmartPtr<DirEntity> DirEntityPtr;
typedef std::list<DirEntityPtr> DirEntityList;

} // namespace QORAPI

#endif
