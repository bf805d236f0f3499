// Fuzz target of the directory replies the client parses: the entity-list
// reply (also through GetEntityRequest and its directory map), the
// single-entity reply and the status reply, each also checked as the
// session-expired notice.
// Properties: the parsers agree with a step-by-step reading of the entities;
// a reply that fails to parse stores nothing; every entity read re-packs to
// exactly as many bytes as it took, and re-packing is stable (what the
// re-packed bytes parse to re-packs to the same bytes).
//
// Input: selector byte (0 entity list, 1 single entity, 2 status with
// address, 3 status), then the reply with its common header.
#include "FuzzUtil.h"

#include "auth/ServerMsgHeader.h"
#include "common/Endian.h"
#include "dir/DirGetFlags.h"
#include "dir/DirMessage.h"
#include "dir/DirReply.h"
#include "dir/GetEntityRequest.h"

#include <string>

using namespace QORAPI;

namespace {

void PackWString(WriteBuffer& wb, const std::u16string& s)
{
    wb.AppendShort(static_cast<uint16_t>(s.size()));
    for (char16_t c : s)
        wb.AppendShort(static_cast<uint16_t>(c));
}

void PackServiceFields(WriteBuffer& wb, const DirEntity& e, uint32_t flags)
{
    if (flags & DirGetFlag_ServicePath)
        PackWString(wb, e.GetPath());
    if (flags & DirGetFlag_ServiceName)
        PackWString(wb, e.GetName());
    if (flags & DirGetFlag_ServiceNetAddr)
    {
        const uint32_t n = ByteBuffer::LengthOf(e.GetNetAddress());
        wb.AppendByte(static_cast<uint8_t>(n));
        if (n)
            wb.AppendBytes(e.GetNetAddress()->GetData(), n);
    }
}

// The entity in the reply layouts, field by field as the client reads them.
void PackEntity(WriteBuffer& wb, const DirEntity& e, uint32_t flags, bool listLayout)
{
    if (flags & DirGetFlag_Type)
        wb.AppendByte(e.GetType());
    if (!listLayout)
    {
        PackServiceFields(wb, e, flags);
    }
    else
    {
        const bool asksDirs = (flags & DirGetFlags_AnyDirectory) != 0;
        const bool asksServices = (flags & DirGetFlag_Services) != 0;
        const bool isService = e.GetType() == DirEntityType_Service || !asksDirs;
        const bool isDirectory = !isService && (e.GetType() == DirEntityType_Directory || !asksServices);
        if (isService)
            PackServiceFields(wb, e, flags);
        else if (isDirectory)
        {
            if (flags & DirGetFlag_DirPath)
                PackWString(wb, e.GetPath());
            if (flags & DirGetFlag_DirName)
                PackWString(wb, e.GetName());
            if (flags & DirGetFlag_DirFlag)
                wb.AppendByte(e.GetDirFlag() ? 1 : 0);
        }
    }
    if (flags & DirGetFlag_DisplayName)
        PackWString(wb, e.GetDisplayName());
    if (flags & DirGetFlag_Value1)
        wb.AppendLong(e.GetValue(0));
    if (flags & DirGetFlag_Value2)
        wb.AppendLong(e.GetValue(1));
    if (flags & DirGetFlag_Value3)
        wb.AppendLong(e.GetValue(2));
    if (flags & DirGetFlag_Value4)
        wb.AppendLong(e.GetValue(3));
    if (flags & DirGetFlag_DataObjects)
    {
        wb.AppendShort(static_cast<uint16_t>(e.GetDataObjects().size()));
        for (const DirDataObject& o : e.GetDataObjects())
        {
            if (flags & DirGetFlag_DataObjectTypes)
            {
                wb.AppendByte(static_cast<uint8_t>(o.mType.size()));
                wb.AppendBytes(o.mType.data(), static_cast<uint32_t>(o.mType.size()));
            }
            if (flags & DirGetFlag_DataObjectData)
            {
                const uint32_t n = ByteBuffer::LengthOf(o.mData);
                wb.AppendShort(static_cast<uint16_t>(n));
                if (n)
                    wb.AppendBytes(o.mData->GetData(), n);
            }
        }
    }
    if (flags & DirGetFlag_Permissions)
    {
        // One ACL per permission: the ACL grouping itself is not kept.
        wb.AppendShort(static_cast<uint16_t>(e.GetPermissions().size()));
        for (const DirPermission& p : e.GetPermissions())
        {
            wb.AppendByte(p.mACLType);
            wb.AppendShort(1);
            wb.AppendLong(p.mValue1);
            wb.AppendLong(p.mValue2);
            wb.AppendShort(p.mValue3);
        }
    }
}

std::string Repack(const DirEntity& e, uint32_t flags, bool listLayout)
{
    WriteBuffer wb(0, false);
    PackEntity(wb, e, flags, listLayout);
    return wb.ToByteBuffer()->ToString();
}

// Reads count entities step by step; checks each one's re-packing.
// False when the bytes end early.
bool ReadEntities(ReadBuffer& rb, uint32_t flags, uint32_t count, bool listLayout)
{
    const bool groupsKept = !(flags & DirGetFlag_Permissions);
    uint32_t emptyObjects = kMaxEmptyDataObjects;
    try
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            const uint32_t start = rb.GetPos();
            const DirEntityPtr e = ReadDirEntity(rb, flags, listLayout, emptyObjects);
            const std::string packed = Repack(*e, flags, listLayout);
            if (groupsKept)
                FUZZ_CHECK(packed.size() == rb.GetPos() - start);
            ReadBuffer again(packed.data(), static_cast<uint32_t>(packed.size()));
            const DirEntityPtr e2 = ReadDirEntity(again, flags, listLayout);
            FUZZ_CHECK(again.AtEnd());
            FUZZ_CHECK(Repack(*e2, flags, listLayout) == packed);
        }
        return true;
    }
    catch (const ReadBufferException&)
    {
        return false;
    }
}

void EntityList(const ByteBuffer* reply)
{
    DirEntityList list;
    list.push_back(new DirEntity);
    const WSStatus status = UnpackEntityListReply(reply, list);

    ReadBuffer rb(reply);
    WSStatus want = WS_ServerReq_UnpackFailure;
    uint32_t count = 0;
    try
    {
        if (!ReadServerMsgHeader(rb, DirServiceType, DirMsg_EntityListReply))
            want = WS_ServerReq_InvalidReplyHeader;
        else
        {
            const int16_t s = static_cast<int16_t>(rb.ReadShort());
            if (s < 0)
                want = static_cast<WSStatus>(s);
            else
            {
                const uint8_t seq = rb.ReadByte();
                const uint32_t flags = rb.ReadLong();
                count = rb.ReadShort();
                if (ReadEntities(rb, flags, count, true))
                    want = (seq & DirSeqFlag_Last) ? WS_Success : WS_ServerReq_Recv;
            }
        }
    }
    catch (const ReadBufferException&)
    {
    }
    FUZZ_CHECK(status == want);
    FUZZ_CHECK(list.size() == 1 + ((want == WS_Success || want == WS_ServerReq_Recv) ? count : 0));

    GetEntityRequest request(u"/games");
    FUZZ_CHECK(request.Unpack(reply) == status);
    request.GetDirMap();
}

void SingleEntity(const ByteBuffer* reply)
{
    DirEntityPtr entity;
    const WSStatus status = UnpackSingleEntityReply(reply, entity);
    ReadBuffer rb(reply);
    WSStatus want = WS_ServerReq_UnpackFailure;
    try
    {
        if (!ReadServerMsgHeader(rb, DirServiceType, DirMsg_EntityReply))
            want = WS_ServerReq_InvalidReplyHeader;
        else
        {
            const int16_t s = static_cast<int16_t>(rb.ReadShort());
            if (s < 0)
                want = static_cast<WSStatus>(s);
            else if (ReadEntities(rb, rb.ReadLong(), 1, false))
                want = static_cast<WSStatus>(s);
        }
    }
    catch (const ReadBufferException&)
    {
    }
    FUZZ_CHECK(status == want);
    FUZZ_CHECK((entity != nullptr) == (want >= 0 && want < 32768));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 256000)
        return 0;
    const SmartPtr<ByteBuffer> reply = new ByteBuffer(data + 1, static_cast<uint32_t>(size - 1));
    // The request loop looks for the session-expired notice before any parser.
    FUZZ_CHECK(IsSessionExpiredNotice(reply.Get()) ==
               (size - 1 >= 10 && LoadLE32(data + 1) == 1 && LoadLE32(data + 5) == 15));
    switch (data[0] & 3)
    {
    case 0: EntityList(reply.Get()); break;
    case 1: SingleEntity(reply.Get()); break;
    default:
    {
        SmartPtr<ByteBuffer> address;
        UnpackStatusReply(reply.Get(), (data[0] & 3) == 2, address);
        break;
    }
    }
    return 0;
}
