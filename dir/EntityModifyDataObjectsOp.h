// EntityModifyDataObjectsOp: changes bytes inside data objects of a directory
// or a service: each change names a type, an offset, a flag and the bytes (the
// local server: flag 0 overwrites from the offset, 1 inserts at it).
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_ENTITYMODIFYDATAOBJECTSOP_H
#define QORAPI_DIR_ENTITYMODIFYDATAOBJECTSOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntity.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <vector>
#include <string>

namespace QORAPI {

class EntityModifyDataObjectsOp : public ServerRequestOp, public DirEntityTarget
{
public:
    EntityModifyDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService);
    EntityModifyDataObjectsOp(const InetAddress& address, bool isService);
    ~EntityModifyDataObjectsOp() override;

    struct Change
    {
        uint16_t mOffset;
        bool mFlag;
        std::string mType;
        SmartPtr<ByteBuffer> mData;
    };
    void AddChange(uint16_t offset, bool flag, const std::string& type, const SmartPtr<ByteBuffer>& data)
    {
        mChanges.push_back({offset, flag, type, data});
    }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    std::vector<Change> mChanges;
};

typedef SmartPtr<EntityModifyDataObjectsOp> EntityModifyDataObjectsOpPtr;

} // namespace QORAPI

#endif
