// Requests that read the directory: listings, a service, a search.
#include "dir/DirReply.h"
#include "dir/FindEntityOp.h"
#include "dir/GetDirOp.h"
#include "dir/GetMultiDirOp.h"
#include "dir/GetServiceOp.h"

namespace QORAPI {

namespace {

void PackTypes(DirMessageWriter& w, const DirDataObjectTypeSet& types)
{
    w.Count(static_cast<uint32_t>(types.size()), 2);
    for (const std::string& type : types)
        w.ShortString(type);
}

} // namespace

// ---- GetDirOp ----

GetDirOp::GetDirOp(const SmartPtr<ServerContext>& context) : ServerRequestOp(context), mGetRequest(new GetEntityRequest)
{
}

GetDirOp::GetDirOp(const InetAddress& address) : ServerRequestOp(address), mGetRequest(new GetEntityRequest)
{
}

GetDirOp::~GetDirOp() = default;

void GetDirOp::SetRequest(const SmartPtr<GetEntityRequest>& request)
{
    mGetRequest = request ? request : SmartPtr<GetEntityRequest>(new GetEntityRequest);
}

WSStatus GetDirOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(DirMsg_GetDir);
    mGetRequest->Pack(w, GetEntityRequest::Form_Single);
    return w.FinishRequest(mRequest);
}

WSStatus GetDirOp::HandleReply()
{
    return mGetRequest->Unpack(mReply);
}

void GetDirOp::ResetForServer()
{
    mGetRequest->Clear();
}

// ---- GetMultiDirOp ----

GetMultiDirOp::GetMultiDirOp(const SmartPtr<ServerContext>& context)
    : ServerRequestOp(context), mCursor(0), mFailedCount(0)
{
}

GetMultiDirOp::GetMultiDirOp(const InetAddress& address) : ServerRequestOp(address), mCursor(0), mFailedCount(0)
{
}

GetMultiDirOp::~GetMultiDirOp() = default;

SmartPtr<GetEntityRequest> GetMultiDirOp::AddRequest(const std::u16string& path, uint32_t getFlags)
{
    SmartPtr<GetEntityRequest> request = new GetEntityRequest(path, getFlags);
    mRequests.push_back(request);
    return request;
}

WSStatus GetMultiDirOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(DirMsg_GetMultiDir);
    w.Short(0);
    w.Count(static_cast<uint32_t>(mRequests.size()), 1);
    for (const SmartPtr<GetEntityRequest>& request : mRequests)
        request->Pack(w, GetEntityRequest::Form_Multi);
    mCursor = 0;
    mFailedCount = 0;
    return w.FinishRequest(mRequest);
}

WSStatus GetMultiDirOp::HandleReply()
{
    if (mCursor >= mRequests.size())
    {
        SmartPtr<GetEntityRequest> discarded = new GetEntityRequest;
        return discarded->Unpack(mReply);
    }
    const WSStatus result = mRequests[mCursor]->Unpack(mReply);
    if (result == WS_ServerReq_InvalidReplyHeader || result == WS_ServerReq_UnpackFailure)
        return result;
    if (result == WS_ServerReq_Recv)
        return WS_ServerReq_Recv;
    if (result != WS_Success)
        ++mFailedCount;
    ++mCursor;
    if (mCursor < mRequests.size())
        return WS_ServerReq_Recv;
    if (mFailedCount == 0)
        return WS_Success;
    return mFailedCount == mRequests.size() ? WS_DirServ_MultiGetFailedAllRequests : WS_DirServ_MultiGetPartialFailure;
}

void GetMultiDirOp::ResetForServer()
{
    for (const SmartPtr<GetEntityRequest>& request : mRequests)
    {
        request->Clear();
        request->SetStatus(WS_None);
    }
    mCursor = 0;
    mFailedCount = 0;
}

// ---- GetServiceOp ----

GetServiceOp::GetServiceOp(const SmartPtr<ServerContext>& context)
    : ServerRequestOp(context), mGetFlags(DirGetFlags_ServiceDefault)
{
}

GetServiceOp::GetServiceOp(const InetAddress& address) : ServerRequestOp(address), mGetFlags(DirGetFlags_ServiceDefault)
{
}

GetServiceOp::~GetServiceOp() = default;

WSStatus GetServiceOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(DirMsg_GetService);
    w.Long(mGetFlags);
    w.String(mIdentity.mPath);
    w.String(mIdentity.mName);
    w.Buffer1(mIdentity.mNetAddress);
    PackTypes(w, mTypes);
    return w.FinishRequest(mRequest);
}

WSStatus GetServiceOp::HandleReply()
{
    DirEntityPtr entity;
    const WSStatus status = UnpackSingleEntityReply(mReply.Get(), entity);
    if (entity)
        mEntity = entity;
    return status;
}

void GetServiceOp::ResetForServer()
{
    mEntity = nullptr;
}

// ---- FindEntityOp ----

FindEntityOp::FindEntityOp(const SmartPtr<ServerContext>& context, bool isService)
    : ServerRequestOp(context), mIsService(isService), mGetFlags(DirGetFlags_Default), mMatchMode(0), mMatchFlags(0)
{
}

FindEntityOp::FindEntityOp(const InetAddress& address, bool isService)
    : ServerRequestOp(address), mIsService(isService), mGetFlags(DirGetFlags_Default), mMatchMode(0), mMatchFlags(0)
{
}

FindEntityOp::~FindEntityOp() = default;

WSStatus FindEntityOp::BuildRequest()
{
    DirMessageWriter w(mLengthFieldSize);
    w.Begin(mIsService ? DirMsg_FindService : DirMsg_FindDirectory);
    w.Long(mGetFlags);
    w.Byte(mMatchMode);
    w.Byte(mMatchFlags);
    w.Short(0);
    w.String(mPath);
    w.String(mName);
    if (mIsService)
        w.Buffer1(mNetAddress);
    w.String(mDisplayName);
    w.Count(static_cast<uint32_t>(mMatchObjects.size()), 2);
    for (const DirDataObject& o : mMatchObjects)
    {
        w.ShortString(o.mType);
        w.Buffer2(o.mData);
    }
    PackTypes(w, mTypes);
    return w.FinishRequest(mRequest);
}

WSStatus FindEntityOp::HandleReply()
{
    if (UsesSingleReply())
    {
        DirEntityPtr entity;
        const WSStatus status = UnpackSingleEntityReply(mReply.Get(), entity);
        if (status == WS_Success && entity)
        {
            mEntity = entity;
            mEntities.push_back(entity);
        }
        return status;
    }
    const WSStatus status = UnpackEntityListReply(mReply.Get(), mEntities);
    if (status == WS_Success && mIsService && !mEntities.empty())
        mEntity = mEntities.front();
    return status;
}

void FindEntityOp::ResetForServer()
{
    mEntity = nullptr;
    mEntities.clear();
}

} // namespace QORAPI
