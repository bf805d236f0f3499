// CloseOp: closes its socket and always ends with WS_Success. Queued behind
// other operations of a QueueSocket it closes the socket once they have ended.
//
// Thread safety: as every SocketOp; one run at a time.
#ifndef QORAPI_QORSOCKET_CLOSEOP_H
#define QORAPI_QORSOCKET_CLOSEOP_H

#include "QORSocket/SocketOp.h"

namespace QORAPI {

class CloseOp : public SocketOp
{
public:
    explicit CloseOp(const SmartPtr<AsyncSocket>& socket = SmartPtr<AsyncSocket>());

    WSStatus Continue() override;
};

} // namespace QORAPI

#endif
