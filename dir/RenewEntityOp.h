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

class RenewEntityOp : public ServerRequestOp
{
public:
    RenewEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RenewEntityOp(const InetAddress& address, bool isService);
    ~RenewEntityOp() override;

    // The entity: a directory's own path, or a service's directory, name and address.
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    const DirEntityIdentity& GetIdentity() const { return mIdentity; }
    bool IsService() const { return mIsService; }
    void SetLifespan(uint32_t seconds) { mLifespan = seconds; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    bool mIsService;
    DirEntityIdentity mIdentity;
    uint32_t mLifespan;
};

typedef SmartPtr<RenewEntityOp> RenewEntityOpPtr;

} // namespace QORAPI

#endif
