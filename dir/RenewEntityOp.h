// RenewEntityOp: gives a directory or a service a new lifespan (seconds from
// now; 0 for none), keeping a registration alive.
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_RENEWENTITYOP_H
#define QORAPI_DIR_RENEWENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class RenewEntityOp : public ServerRequestOp, public DirEntityTarget
{
public:
    RenewEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RenewEntityOp(const InetAddress& address, bool isService);
    ~RenewEntityOp() override;

    void SetLifespan(uint32_t seconds) { mLifespan = seconds; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    uint32_t mLifespan;
};

typedef SmartPtr<RenewEntityOp> RenewEntityOpPtr;

} // namespace QORAPI

#endif
