// EntitySetDataObjectsOp: sets data objects of a directory or a service. The
// mode byte is the server's (the local server: 0 add, 1 add or replace, 2
// replace all) and has no default: set it before running (0 until then).
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_ENTITYSETDATAOBJECTSOP_H
#define QORAPI_DIR_ENTITYSETDATAOBJECTSOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntity.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class EntitySetDataObjectsOp : public ServerRequestOp, public DirEntityTarget
{
public:
    EntitySetDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService);
    EntitySetDataObjectsOp(const InetAddress& address, bool isService);
    ~EntitySetDataObjectsOp() override;

    void SetMode(uint8_t mode) { mMode = mode; }
    void AddDataObject(const std::string& type, const SmartPtr<ByteBuffer>& data) { mDataObjects.push_back({type, data}); }
    void SetDataObjects(const DirDataObjectList& objects) { mDataObjects = objects; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    uint8_t mMode;
    DirDataObjectList mDataObjects;
};

typedef SmartPtr<EntitySetDataObjectsOp> EntitySetDataObjectsOpPtr;

} // namespace QORAPI

#endif
