// Requests that change one entity: each sends one message and reads one
// status reply.
#include "dir/AddEntityOp.h"
#include "dir/DirReply.h"
#include "dir/EntityClearDataObjectsOp.h"
#include "dir/EntityModifyDataObjectsOp.h"
#include "dir/EntitySetDataObjectsOp.h"
#include "dir/ModifyEntityOp.h"
#include "dir/RemoveEntityOp.h"
#include "dir/RenameEntityOp.h"
#include "dir/RenewEntityOp.h"

namespace QORAPI {

namespace {

void PackDataObjects(DirMessageWriter& w, const DirDataObjectList& objects)
{
    w.Count(static_cast<uint32_t>(objects.size()), 2);
    for (const DirDataObject& o : objects)
    {
        w.ShortString(o.mType);
        w.Buffer2(o.mData);
    }
}

uint16_t TypeFor(bool isService, uint16_t directoryType)
{
    return static_cast<uint16_t>(isService ? directoryType + 1 : directoryType);
}

} // namespace


// ---- AddEntityOp ----

AddEntityOp::AddEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService), mFlags(1), mLifespan(0)
{
}

AddEntityOp::AddEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService), mFlags(1), mLifespan(0)
{
}

AddEntityOp::~AddEntityOp() = default;
WSStatus AddEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_AddDirectory));
    w.Byte(mFlags);
    w.String(mIdentity.mPath);
    w.String(mIdentity.mName);
    if (mIsService)
        w.Buffer1(mIdentity.mNetAddress);
    w.String(mDisplayName);
    w.Long(mLifespan);
    PackDataObjects(w, mDataObjects);
    w.Short(0);
    return w.FinishRequest(mRequest);
}

WSStatus AddEntityOp::HandleReply()
{
    SmartPtr<ByteBuffer> address;
    const WSStatus status = UnpackStatusReply(mReply.Get(), mIsService && (mFlags & 0x10), address);
    if (address)
        mIdentity.mNetAddress = address;
    return status;
}

// ---- ModifyEntityOp ----

ModifyEntityOp::ModifyEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService), mFlags(1), mLifespan(0)
{
}

ModifyEntityOp::ModifyEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService), mFlags(1), mLifespan(0)
{
}

ModifyEntityOp::~ModifyEntityOp() = default;
WSStatus ModifyEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_ModifyDirectory));
    w.Byte(mFlags);
    mIdentity.Pack(w, mIsService);
    w.String(mNewName);
    if (mIsService)
        w.Buffer1(mNewNetAddress);
    w.String(mNewDisplayName);
    w.Long(mLifespan);
    PackDataObjects(w, mDataObjects);
    w.Short(0);
    return w.FinishRequest(mRequest);
}

WSStatus ModifyEntityOp::HandleReply()
{
    SmartPtr<ByteBuffer> address;
    const WSStatus status = UnpackStatusReply(mReply.Get(), mIsService && (mFlags & 0x10), address);
    if (address)
        mReturnedNetAddress = address;
    return status;
}

// ---- RemoveEntityOp ----

RemoveEntityOp::RemoveEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService)
{
}

RemoveEntityOp::RemoveEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService)
{
}

RemoveEntityOp::~RemoveEntityOp() = default;
WSStatus RemoveEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_RemoveDirectory));
    mIdentity.Pack(w, mIsService);
    return w.FinishRequest(mRequest);
}

WSStatus RemoveEntityOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

// ---- RenameEntityOp ----

RenameEntityOp::RenameEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService), mOption(true)
{
}

RenameEntityOp::RenameEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService), mOption(true)
{
}

RenameEntityOp::~RenameEntityOp() = default;
WSStatus RenameEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_RenameDirectory));
    w.Bool(mOption);
    mIdentity.Pack(w, mIsService);
    w.String(mNewName);
    return w.FinishRequest(mRequest);
}

WSStatus RenameEntityOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

// ---- RenewEntityOp ----

RenewEntityOp::RenewEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService), mLifespan(0)
{
}

RenewEntityOp::RenewEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService), mLifespan(0)
{
}

RenewEntityOp::~RenewEntityOp() = default;
WSStatus RenewEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_RenewDirectory));
    mIdentity.Pack(w, mIsService);
    w.Long(mLifespan);
    return w.FinishRequest(mRequest);
}

WSStatus RenewEntityOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

// ---- EntitySetDataObjectsOp ----

EntitySetDataObjectsOp::EntitySetDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService), mMode(0)
{
}

EntitySetDataObjectsOp::EntitySetDataObjectsOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService), mMode(0)
{
}

EntitySetDataObjectsOp::~EntitySetDataObjectsOp() = default;
WSStatus EntitySetDataObjectsOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_SetDataObjectsDirectory));
    w.Byte(mMode);
    mIdentity.Pack(w, mIsService);
    PackDataObjects(w, mDataObjects);
    return w.FinishRequest(mRequest);
}

WSStatus EntitySetDataObjectsOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

// ---- EntityModifyDataObjectsOp ----

EntityModifyDataObjectsOp::EntityModifyDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService)
{
}

EntityModifyDataObjectsOp::EntityModifyDataObjectsOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService)
{
}

EntityModifyDataObjectsOp::~EntityModifyDataObjectsOp() = default;
WSStatus EntityModifyDataObjectsOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_ModifyDataObjectsDirectory));
    mIdentity.Pack(w, mIsService);
    w.Count(static_cast<uint32_t>(mChanges.size()), 2);
    for (const Change& c : mChanges)
    {
        w.Short(c.mOffset);
        w.Bool(c.mFlag);
        w.ShortString(c.mType);
        w.Buffer2(c.mData);
    }
    return w.FinishRequest(mRequest);
}

WSStatus EntityModifyDataObjectsOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

// ---- EntityClearDataObjectsOp ----

EntityClearDataObjectsOp::EntityClearDataObjectsOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), DirEntityTarget(isService)
{
}

EntityClearDataObjectsOp::EntityClearDataObjectsOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), DirEntityTarget(isService)
{
}

EntityClearDataObjectsOp::~EntityClearDataObjectsOp() = default;
WSStatus EntityClearDataObjectsOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(TypeFor(mIsService, DirMsg_ClearDataObjectsDirectory));
    mIdentity.Pack(w, mIsService);
    w.Count(static_cast<uint32_t>(mTypes.size()), 2);
    for (const std::string& type : mTypes)
        w.ShortString(type);
    return w.FinishRequest(mRequest);
}

WSStatus EntityClearDataObjectsOp::HandleReply()
{
    return UnpackStatusReply(mReply.Get());
}

} // namespace QORAPI
