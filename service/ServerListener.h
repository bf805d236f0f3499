// ServerListener: the listening socket every local server opens at Start.
//
// Thread safety: a plain function; the socket it hands out belongs to the caller.
#ifndef QORAPI_SERVICE_SERVERLISTENER_H
#define QORAPI_SERVICE_SERVERLISTENER_H

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/InetAddress.h"
#include "common/WSStatus.h"

namespace QORAPI {

// The address the local servers listen on: this host only (127.0.0.1, host
// byte order).
const uint32_t kServerLoopback = 0x7F000001u;

// Opens a stream socket bound to `address` (port 0: an ephemeral one), with
// address reuse, listening with the given backlog. On failure the socket is
// closed, `listener` is left null and the failing step's status returned.
WSStatus OpenListener(const InetAddress& address, int backlog, SmartPtr<AsyncSocket>& listener);

} // namespace QORAPI

#endif
