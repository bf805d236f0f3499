// RenameEntityOp: gives a directory or a service a new name in its directory.
// The option (default true) is passed to the server as given; the local
// server refuses a name already in use while it is set, and replaces the
// other entity otherwise.
//
// Thread safety: as every operation (AsyncOp); set its members before the
// run and read its results after the end.
#ifndef QORAPI_DIR_RENAMEENTITYOP_H
#define QORAPI_DIR_RENAMEENTITYOP_H

#include "auth/ServerRequestOp.h"
#include "dir/DirEntityIdentity.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class RenameEntityOp : public ServerRequestOp
{
public:
    RenameEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RenameEntityOp(const InetAddress& address, bool isService);
    ~RenameEntityOp() override;

    // The entity: a directory's own path, or a service's directory, name and address.
    void SetPath(const std::u16string& path) { mIdentity.mPath = path; }
    void SetName(const std::u16string& name) { mIdentity.mName = name; }
    void SetNetAddress(const SmartPtr<ByteBuffer>& address) { mIdentity.mNetAddress = address; }
    void SetNetAddress(const InetAddress& address) { mIdentity.mNetAddress = NetAddressOf(address); }
    const DirEntityIdentity& GetIdentity() const { return mIdentity; }
    bool IsService() const { return mIsService; }
    void SetOption(bool option) { mOption = option; }
    void SetNewName(const std::u16string& name) { mNewName = name; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    bool mIsService;
    DirEntityIdentity mIdentity;
    bool mOption;
    std::u16string mNewName;
};

typedef SmartPtr<RenameEntityOp> RenameEntityOpPtr;

} // namespace QORAPI

#endif
