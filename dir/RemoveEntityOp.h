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

class RemoveEntityOp : public ServerRequestOp
{
public:
    RemoveEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RemoveEntityOp(const InetAddress& address, bool isService);
    ~RemoveEntityOp() override;

    // The entity: a directory's own path, or a service's directory, name and address.
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    const DirEntityIdentity& GetIdentity() const { return mIdentity; }
    bool IsService() const { return mIsService; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    bool mIsService;
    DirEntityIdentity mIdentity;
};

typedef SmartPtr<RemoveEntityOp> RemoveEntityOpPtr;

} // namespace QORAPI

#endif
