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

class RenameEntityOp : public ServerRequestOp, public DirEntityTarget
{
public:
    RenameEntityOp(const SmartPtr<ServerContext>& context, bool isService);
    RenameEntityOp(const InetAddress& address, bool isService);
    ~RenameEntityOp() override;

    void SetOption(bool option) { mOption = option; }
    void SetNewName(const std::u16string& name) { mNewName = name; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;

private:
    bool mOption;
    std::u16string mNewName;
};

typedef SmartPtr<RenameEntityOp> RenameEntityOpPtr;

} // namespace QORAPI

#endif
