// RemoveEntityOp: removes a directory (with everything below it) or a service
// from the directory service. The result is the server's status.
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_REMOVEENTITYOP_H
#define QORAPI_DIR_REMOVEENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class RemoveEntityOp : public ServerRequestOp, public DirEntityTarget
{
public:
    RemoveEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RemoveEntityOp(const InetAddress& address, bool isService);
    ~RemoveEntityOp() override;


protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
};

typedef SmartPtr<RemoveEntityOp> RemoveEntityOpPtr;

} // namespace QORAPI

#endif
