// EntityClearDataObjectsOp: removes the data objects of the given types from a
// directory or a service (an empty set asks for all of them).
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_ENTITYCLEARDATAOBJECTSOP_H
#define QORAPI_DIR_ENTITYCLEARDATAOBJECTSOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"
#include "dir/GetEntityRequest.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class EntityClearDataObjectsOp : public ServerRequestOp, public DirEntityTarget
{
public:
    EntityClearDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService);
    EntityClearDataObjectsOp(const InetAddress& address, bool isService);
    ~EntityClearDataObjectsOp() override;

    void AddDataObjectType(const std::string& type) { mTypes.insert(type); }
    void SetDataObjectTypes(const DirDataObjectTypeSet& types) { mTypes = types; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    DirDataObjectTypeSet mTypes;
};

typedef SmartPtr<EntityClearDataObjectsOp> EntityClearDataObjectsOpPtr;

} // namespace QORAPI

#endif
