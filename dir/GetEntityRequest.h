// GetEntityRequest: one directory listing request (get flags, path, data object
// types) and the entities its replies bring back, with the directory map built
// from them on demand.
//
// The listing operations pack it into their request and parse each reply into
// it; an operation clears it before it moves to another server.
//
// Thread safety: none; a request belongs to the operation that runs it. Read
// its results only after the operation has ended.
#ifndef QORAPI_DIR_GETENTITYREQUEST_H
#define QORAPI_DIR_GETENTITYREQUEST_H

#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"
#include "dir/DirEntity.h"
#include "dir/DirGetFlags.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace QORAPI {

class DirMessageWriter;

typedef std::set<std::string> DirDataObjectTypeSet;
// Directory path -> the entities directly in that directory.
typedef std::map<std::u16string, DirEntityList> DirEntityMap;

class GetEntityRequest : public RefCount
{
public:
    enum PackForm { Form_Single = 0, Form_Multi = 1 };

    explicit GetEntityRequest(const std::u16string& path = std::u16string(),
                              uint32_t getFlags = DirGetFlags_Default);
    ~GetEntityRequest() override = default;

    uint32_t GetGetFlags() const { return mGetFlags; }
    void SetGetFlags(uint32_t flags) { mGetFlags = flags; }
    const std::u16string& GetPath() const { return mPath; }
    void SetPath(const std::u16string& path) { mPath = path; }
    const DirDataObjectTypeSet& GetDataObjectTypes() const { return mDataObjectTypes; }
    void SetDataObjectTypes(const DirDataObjectTypeSet& types) { mDataObjectTypes = types; }
    void AddDataObjectType(const std::string& type) { mDataObjectTypes.insert(type); }

    // Appends the request description in form 0 (single listing) or 1 (inside
    // a multiple listing).
    void Pack(DirMessageWriter& writer, PackForm form) const;
    // The flags that Pack sends: 0x10 is added when both services and
    // directories are asked for, so that every entity's type comes back.
    uint32_t GetPackedFlags() const;

    // Parses one entity-list reply into the entity list; returns and keeps its result.
    WSStatus Unpack(const ByteBuffer* reply);
    WSStatus Unpack(const SmartPtr<ByteBuffer>& reply) { return Unpack(reply.Get()); }

    const DirEntityList& GetEntities() const { return mEntities; }
    DirEntityList& GetEntities() { return mEntities; }
    // The directory map, built from the entity list on first use.
    const DirEntityMap& GetDirMap();
    // Result of the last reply (WS_None before any).
    WSStatus GetStatus() const { return mStatus; }
    void SetStatus(WSStatus status) { mStatus = status; }

    // Empties the entity list and the directory map.
    void Clear();

private:
    void BuildDirMap();

    uint32_t mGetFlags;
    std::u16string mPath;
    DirDataObjectTypeSet mDataObjectTypes;
    DirEntityList mEntities;
    DirEntityMap mDirMap;
    bool mDirMapBuilt;
    WSStatus mStatus;
};

typedef SmartPtr<GetEntityRequest> GetEntityRequestPtr;

} // namespace QORAPI

#endif
