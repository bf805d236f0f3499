#include "dir/GetEntityRequest.h"

#include "dir/DirMessage.h"
#include "dir/DirReply.h"

namespace QORAPI {

GetEntityRequest::GetEntityRequest(const std::u16string& path, uint32_t getFlags)
    : mGetFlags(getFlags), mPath(path), mDirMapBuilt(false), mStatus(WS_None)
{
}

uint32_t GetEntityRequest::GetPackedFlags() const
{
    uint32_t flags = mGetFlags;
    if ((flags & DirGetFlag_Services) && (flags & DirGetFlags_AnyDirectory))
        flags |= DirGetFlag_Type;
    return flags;
}

void GetEntityRequest::Pack(DirMessageWriter& writer, PackForm form) const
{
    writer.Long(GetPackedFlags());
    if (form == Form_Single)
        writer.Short(0);
    else
        writer.Byte(DirEntityType_Directory);
    writer.String(mPath);
    writer.Count(static_cast<uint32_t>(mDataObjectTypes.size()), 2);
    for (const std::string& type : mDataObjectTypes)
        writer.ShortString(type);
}

WSStatus GetEntityRequest::Unpack(const ByteBuffer* reply)
{
    mStatus = UnpackEntityListReply(reply, mEntities);
    mDirMap.clear();
    mDirMapBuilt = false;
    return mStatus;
}

const DirEntityMap& GetEntityRequest::GetDirMap()
{
    if (!mDirMapBuilt)
        BuildDirMap();
    return mDirMap;
}

void GetEntityRequest::BuildDirMap()
{
    mDirMap.clear();
    std::u16string currentPath = mPath;
    DirEntityList* current = &mDirMap[currentPath];
    for (const DirEntityPtr& entity : mEntities)
    {
        if (entity->IsDirectory())
        {
            currentPath = entity->GetPath().empty() ? mPath : entity->GetPath();
            if (currentPath.empty() || currentPath.back() != u'/')
                currentPath += u'/';
            currentPath += entity->GetName();
            current = &mDirMap[currentPath];
        }
        else if (!entity->GetPath().empty() && entity->GetPath() != currentPath)
        {
            currentPath = entity->GetPath();
            current = &mDirMap[currentPath];
        }
        current->push_back(entity);
    }
    mDirMapBuilt = true;
}

void GetEntityRequest::Clear()
{
    mEntities.clear();
    mDirMap.clear();
    mDirMapBuilt = false;
}

} // namespace QORAPI
