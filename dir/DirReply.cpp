#include "dir/DirReply.h"

#include "QORSocket/RecvMsgOp.h"
#include "auth/ServerMsgHeader.h"
#include "dir/DirMessage.h"

namespace QORAPI {

namespace {

void ReadCommonFields(ReadBuffer& rb, uint32_t flags, DirEntity& entity, uint32_t& emptyObjects)
{
    if (flags & DirGetFlag_DisplayName)
    {
        std::u16string display;
        rb.ReadWString(display, 2);
        entity.SetDisplayName(display);
    }
    if (flags & DirGetFlag_Value1)
        entity.SetValue(0, rb.ReadLong());
    if (flags & DirGetFlag_Value2)
        entity.SetValue(1, rb.ReadLong());
    if (flags & DirGetFlag_Value3)
        entity.SetValue(2, rb.ReadLong());
    if (flags & DirGetFlag_Value4)
        entity.SetValue(3, rb.ReadLong());
    if (flags & DirGetFlag_DataObjects)
    {
        const uint16_t count = rb.ReadShort();
        // Objects without type and data take no bytes: their count alone
        // could make a short reply fill memory.
        if (!(flags & (DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData)))
        {
            if (count > emptyObjects)
                throw ReadBufferException("Too many empty data objects.");
            emptyObjects -= count;
        }
        DirDataObjectList& objects = entity.GetDataObjects();
        for (uint16_t i = 0; i < count; ++i)
        {
            DirDataObject object;
            if (flags & DirGetFlag_DataObjectTypes)
                rb.ReadString(object.mType, 1);
            if (flags & DirGetFlag_DataObjectData)
                rb.ReadBuf(object.mData, 2);
            objects.push_back(object);
        }
    }
    if (flags & DirGetFlag_Permissions)
    {
        const uint16_t aclCount = rb.ReadShort();
        DirPermissionList& perms = entity.GetPermissions();
        for (uint16_t i = 0; i < aclCount; ++i)
        {
            const uint8_t aclType = rb.ReadByte();
            const uint16_t permCount = rb.ReadShort();
            for (uint16_t j = 0; j < permCount; ++j)
            {
                DirPermission perm;
                perm.mACLType = aclType;
                perm.mValue1 = rb.ReadLong();
                perm.mValue2 = rb.ReadLong();
                perm.mValue3 = rb.ReadShort();
                perms.push_back(perm);
            }
        }
    }
}

void ReadServiceFields(ReadBuffer& rb, uint32_t flags, DirEntity& entity)
{
    std::u16string text;
    if (flags & DirGetFlag_ServicePath)
    {
        rb.ReadWString(text, 2);
        entity.SetPath(text);
    }
    if (flags & DirGetFlag_ServiceName)
    {
        rb.ReadWString(text, 2);
        entity.SetName(text);
    }
    if (flags & DirGetFlag_ServiceNetAddr)
    {
        SmartPtr<ByteBuffer> addr;
        rb.ReadBuf(addr, 1);
        entity.SetNetAddress(addr);
    }
}

} // namespace

DirEntityPtr ReadDirEntity(ReadBuffer& rb, uint32_t flags, bool listLayout)
{
    uint32_t emptyObjects = kMaxEmptyDataObjects;
    return ReadDirEntity(rb, flags, listLayout, emptyObjects);
}

DirEntityPtr ReadDirEntity(ReadBuffer& rb, uint32_t flags, bool listLayout, uint32_t& emptyObjects)
{
    DirEntityPtr entity = new DirEntity;
    if (flags & DirGetFlag_Type)
        entity->SetType(rb.ReadByte());

    if (!listLayout)
    {
        ReadServiceFields(rb, flags, *entity);
        ReadCommonFields(rb, flags, *entity, emptyObjects);
        return entity;
    }

    const bool asksDirs = (flags & DirGetFlags_AnyDirectory) != 0;
    const bool asksServices = (flags & DirGetFlag_Services) != 0;
    bool isService = entity->GetType() == DirEntityType_Service || !asksDirs;
    bool isDirectory = !isService && (entity->GetType() == DirEntityType_Directory || !asksServices);
    if (isService)
    {
        if (entity->GetType() == DirEntityType_Unknown)
            entity->SetType(DirEntityType_Service);
        ReadServiceFields(rb, flags, *entity);
    }
    else if (isDirectory)
    {
        if (entity->GetType() == DirEntityType_Unknown)
            entity->SetType(DirEntityType_Directory);
        std::u16string text;
        if (flags & DirGetFlag_DirPath)
        {
            rb.ReadWString(text, 2);
            entity->SetPath(text);
        }
        if (flags & DirGetFlag_DirName)
        {
            rb.ReadWString(text, 2);
            entity->SetName(text);
        }
        if (flags & DirGetFlag_DirFlag)
            entity->SetDirFlag(rb.ReadByte() != 0);
    }
    ReadCommonFields(rb, flags, *entity, emptyObjects);
    return entity;
}

WSStatus UnpackEntityListReply(const ByteBuffer* reply, DirEntityList& entities)
{
    ReadBuffer rb(reply);
    try
    {
        if (!ReadServerMsgHeader(rb, DirServiceType, DirMsg_EntityListReply))
            return WS_ServerReq_InvalidReplyHeader;
        const int16_t status = static_cast<int16_t>(rb.ReadShort());
        if (status < 0)
            return static_cast<WSStatus>(status);
        const uint8_t seqFlags = rb.ReadByte();
        const uint32_t flags = rb.ReadLong();
        const uint16_t count = rb.ReadShort();
        DirEntityList parsed;
        uint32_t emptyObjects = kMaxEmptyDataObjects;
        for (uint16_t i = 0; i < count; ++i)
            parsed.push_back(ReadDirEntity(rb, flags, true, emptyObjects));
        entities.splice(entities.end(), parsed);
        return (seqFlags & DirSeqFlag_Last) ? WS_Success : WS_ServerReq_Recv;
    }
    catch (const ReadBufferException&)
    {
        return WS_ServerReq_UnpackFailure;
    }
}

WSStatus UnpackSingleEntityReply(const ByteBuffer* reply, DirEntityPtr& entity)
{
    ReadBuffer rb(reply);
    try
    {
        if (!ReadServerMsgHeader(rb, DirServiceType, DirMsg_EntityReply))
            return WS_ServerReq_InvalidReplyHeader;
        const int16_t status = static_cast<int16_t>(rb.ReadShort());
        if (status < 0)
            return static_cast<WSStatus>(status);
        const uint32_t flags = rb.ReadLong();
        entity = ReadDirEntity(rb, flags, false);
        return static_cast<WSStatus>(status);
    }
    catch (const ReadBufferException&)
    {
        return WS_ServerReq_UnpackFailure;
    }
}

WSStatus UnpackStatusReply(const ByteBuffer* reply, bool readAddress, SmartPtr<ByteBuffer>& address)
{
    ReadBuffer rb(reply);
    try
    {
        if (!ReadServerMsgHeader(rb, DirServiceType, DirMsg_StatusReply))
            return WS_ServerReq_InvalidReplyHeader;
        const int16_t status = static_cast<int16_t>(rb.ReadShort());
        if (status >= 0 && readAddress)
        {
            SmartPtr<ByteBuffer> addr;
            rb.ReadBuf(addr, 1);
            address = addr;
        }
        return static_cast<WSStatus>(status);
    }
    catch (const ReadBufferException&)
    {
        return WS_ServerReq_UnpackFailure;
    }
}

WSStatus UnpackStatusReply(const ByteBuffer* reply)
{
    SmartPtr<ByteBuffer> unused;
    return UnpackStatusReply(reply, false, unused);
}

} // namespace QORAPI
