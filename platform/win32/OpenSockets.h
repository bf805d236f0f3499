// The count of sockets the Windows socket layer holds open (made by SockCreate
// or SockAccept and not yet closed by SockClose).
//
// Thread safety: may be called from any thread.
#ifndef QORAPI_PLATFORM_WIN32_OPENSOCKETS_H
#define QORAPI_PLATFORM_WIN32_OPENSOCKETS_H

#include <cstdint>

namespace QORAPI {

int32_t SockCountOpen();

} // namespace QORAPI

#endif
