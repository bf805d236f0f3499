// AcceptOp: accepts one connection on a listening socket; the new socket is
// made by the listening socket's Duplicate.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_ACCEPTOP_H
#define QORAPI_QORSOCKET_ACCEPTOP_H

#include "QORSocket/SocketOp.h"

namespace QORAPI {

class AcceptOp : public SocketOp
{
public:
    explicit AcceptOp(const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    const SmartPtr<AsyncSocket>& GetAcceptedSocket() const { return mAcceptedSocket; }

    WSStatus Continue() override;
    SmartPtr<SocketOp> Duplicate() override;

private:
    SmartPtr<AsyncSocket> mAcceptedSocket;
};

} // namespace QORAPI

#endif
