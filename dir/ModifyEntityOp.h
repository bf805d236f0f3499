// ModifyEntityOp: changes a directory or a service: new name, new address,
// new display name, lifespan and data objects (the local server keeps a field
// whose new value is empty or 0, and adds or replaces the data objects).
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_MODIFYENTITYOP_H
#define QORAPI_DIR_MODIFYENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntity.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class ModifyEntityOp : public ServerRequestOp, public DirEntityTarget
{
public:
    ModifyEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    ModifyEntityOp(const InetAddress& address, bool isService);
    ~ModifyEntityOp() override;

    // Flags byte [1], passed to the server (0x10: the server returns the address).
    void SetFlags(uint8_t flags) { mFlags = flags; }
    void SetNewName(const std::u16string& name) { mNewName = name; }
    void SetNewNetAddress(const SmartPtr<ByteBuffer>& address) { mNewNetAddress = address; }
    void SetNewNetAddress(const InetAddress& address) { mNewNetAddress = NetAddressOf(address); }
    void SetNewDisplayName(const std::u16string& name) { mNewDisplayName = name; }
    void SetLifespan(uint32_t seconds) { mLifespan = seconds; }
    void AddDataObject(const std::string& type, const SmartPtr<ByteBuffer>& data) { mDataObjects.push_back({type, data}); }
    void SetDataObjects(const DirDataObjectList& objects) { mDataObjects = objects; }
    // The address the server returned (flags 0x10), else null.
    const SmartPtr<ByteBuffer>& GetReturnedNetAddress() const { return mReturnedNetAddress; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    uint8_t mFlags;
    std::u16string mNewName;
    SmartPtr<ByteBuffer> mNewNetAddress;
    std::u16string mNewDisplayName;
    uint32_t mLifespan;
    DirDataObjectList mDataObjects;
    SmartPtr<ByteBuffer> mReturnedNetAddress;
};

typedef SmartPtr<ModifyEntityOp> ModifyEntityOpPtr;

} // namespace QORAPI

#endif
