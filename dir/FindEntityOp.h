// FindEntityOp: searches the directory service for directories or services
// that match a name, address, display name and data objects. A service search
// without match flag 0x1 returns one entity (single-entity reply); otherwise
// every match comes back in entity-list replies.
//
// The match mode and the other match flags are the server's (the local server:
// mode 0 exact, 1 prefix, 2 substring; flag 0x2 searches the whole subtree).
//
// Thread safety: as every operation (AsyncOp); set its members before the run
// and read the results after the end.
#ifndef QORAPI_DIR_FINDENTITYOP_H
#define QORAPI_DIR_FINDENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntity.h"
#include "dir/DirEntityIdentity.h"
#include "dir/GetEntityRequest.h"

namespace QORAPI {

class FindEntityOp : public ServerRequestOp
{
public:
    FindEntityOp(const SmartPtr<ServerContext>& context, bool isService = true);
    FindEntityOp(const InetAddress& address, bool isService = true);
    ~FindEntityOp() override;

    void SetGetFlags(uint32_t flags) { mGetFlags = flags; }
    void SetMatchMode(uint8_t mode) { mMatchMode = mode; }
    void SetMatchFlags(uint8_t flags) { mMatchFlags = flags; }
    // The directory searched.
    void SetPath(const std::u16string& path) { mPath = path; }
    void SetName(const std::u16string& name) { mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mNetAddress = NetAddressOf(address); }
    void SetDisplayName(const std::u16string& name) { mDisplayName = name; }
    // A data object the entity must hold (empty data: any content).
    void AddMatchDataObject(const std::string& type, const SmartPtr<ByteBuffer>& data) { mMatchObjects.push_back({type, data}); }
    void AddDataObjectType(const std::string& type) { mTypes.insert(type); }

    bool IsService() const { return mIsService; }
    // Results: the entity found (services), and every entity found.
    const DirEntityPtr& GetEntity() const { return mEntity; }
    const DirEntityList& GetEntities() const { return mEntities; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    bool UsesSingleReply() const { return mIsService && !(mMatchFlags & 0x1); }

    bool mIsService;
    uint32_t mGetFlags;
    uint8_t mMatchMode;
    uint8_t mMatchFlags;
    std::u16string mPath;
    std::u16string mName;
    SmartPtr<ByteBuffer> mNetAddress;
    std::u16string mDisplayName;
    DirDataObjectList mMatchObjects;
    DirDataObjectTypeSet mTypes;
    DirEntityPtr mEntity;
    DirEntityList mEntities;
};

typedef SmartPtr<FindEntityOp> FindEntityOpPtr;

} // namespace QORAPI

#endif
