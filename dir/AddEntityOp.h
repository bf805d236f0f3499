// AddEntityOp: registers a new directory or service with its display name,
// lifespan and data objects. With flags bit 0x10 the server registers a
// service under the address it sees the request come from, and returns that
// address, which replaces the operation's network address.
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_ADDENTITYOP_H
#define QORAPI_DIR_ADDENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntity.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class AddEntityOp : public ServerRequestOp, public DirEntityTarget
{
public:
    AddEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    AddEntityOp(const InetAddress& address, bool isService);
    ~AddEntityOp() override;

    // Flags byte [1], passed to the server (0x10: the server returns the address).
    void SetFlags(uint8_t flags) { mFlags = flags; }
    void SetDisplayName(const std::u16string& name) { mDisplayName = name; }
    void SetLifespan(uint32_t seconds) { mLifespan = seconds; }
    void AddDataObject(const std::string& type, const SmartPtr<ByteBuffer>& data) { mDataObjects.push_back({type, data}); }
    void SetDataObjects(const DirDataObjectList& objects) { mDataObjects = objects; }
    // The network address (after the run: the one the server returned, if any).
    const SmartPtr<ByteBuffer>& GetNetAddress() const { return mIdentity.mNetAddress; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    uint8_t mFlags;
    std::u16string mDisplayName;
    uint32_t mLifespan;
    DirDataObjectList mDataObjects;
};

typedef SmartPtr<AddEntityOp> AddEntityOpPtr;

} // namespace QORAPI

#endif
