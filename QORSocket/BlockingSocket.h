// BlockingSocket: a QueueSocket with a class identity of its own; its
// Duplicate (used for accepted connections) makes a BlockingSocket.
//
// Thread safety: as QueueSocket.
#ifndef QORAPI_QORSOCKET_BLOCKINGSOCKET_H
#define QORAPI_QORSOCKET_BLOCKINGSOCKET_H

#include "QORSocket/QueueSocket.h"

namespace QORAPI {

class BlockingSocket : public QueueSocket
{
public:
    explicit BlockingSocket(SocketType type = SocketType::Stream) : QueueSocket(type) {}

    SmartPtr<AsyncSocket> Duplicate() override { return SmartPtr<AsyncSocket>(new BlockingSocket(GetType())); }
};

typedef SmartPtr<BlockingSocket> BlockingSocketPtr;

} // namespace QORAPI

#endif
