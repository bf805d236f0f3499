#include "service/DirServerEngine.h"

#include "auth/ServerMsgHeader.h"
#include "dir/DirGetFlags.h"
#include "dir/DirMessage.h"
#include "platform/Tick.h"

#include <algorithm>
#include <map>

namespace QORAPI {

typedef std::vector<std::pair<std::string, std::string>> DataObjects;

struct DirServerEngine::Node
{
    uint8_t mType = DirEntityType_Directory;
    std::u16string mName;
    std::u16string mDisplayName;
    std::string mAddress;          // services: 6-byte wire form
    DataObjects mDataObjects;
    std::vector<DirPermission> mPermissions;
    uint32_t mExpiry = 0;          // seconds since 1970; 0 = never
    uint32_t mCreated = 0;
    uint32_t mChanges = 0;
    std::vector<std::unique_ptr<Node>> mChildren;   // directories only, in insertion order

    bool IsService() const { return mType == DirEntityType_Service; }
};

struct DirServerEngine::Identity
{
    std::u16string mPath;
    std::u16string mName;
    std::string mAddress;
};

struct DirServerEngine::ListItem
{
    const Node* mNode;
    std::u16string mDirPath;
};

namespace {

const WSStatus kInvalidMessage = WS_CommServ_InvalidMessage;

std::vector<std::u16string> SplitPath(const std::u16string& path)
{
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find(u'/', start);
        if (end == std::u16string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::u16string JoinPath(const std::u16string& dir, const std::u16string& name)
{
    std::u16string out = dir;
    if (out.empty() || out.back() != u'/')
        out += u'/';
    out += name;
    return out;
}

std::u16string CanonicalPath(const std::vector<std::u16string>& parts)
{
    std::u16string out;
    for (const std::u16string& p : parts)
        out += u'/' + p;
    return out.empty() ? std::u16string(u"/") : out;
}

std::string ReadAsString(ReadBuffer& rb, uint8_t fieldSize)
{
    std::string s;
    rb.ReadString(s, fieldSize);
    return s;
}

std::u16string ReadWide(ReadBuffer& rb)
{
    std::u16string s;
    rb.ReadWString(s, 2);
    return s;
}

SmartPtr<ByteBuffer> Finish(WriteBuffer& wb)
{
    return wb.ToByteBuffer(true);
}

void StartReply(WriteBuffer& wb, uint16_t type)
{
    wb.Reset();
    AppendServerMsgHeader(wb, DirServiceType, type);
}

DirServerReplies StatusReply(WSStatus status)
{
    DirServerReplies out;
    out.mReplies.push_back(DirServerEngine::BuildStatusReply(static_cast<int16_t>(status)));
    return out;
}

DirServerReplies StatusReplyWithAddress(WSStatus status, const std::string& address)
{
    WriteBuffer wb(0);
    StartReply(wb, DirMsg_StatusReply);
    wb.AppendShort(static_cast<uint16_t>(static_cast<int16_t>(status)));
    wb.AppendString(address, 1);
    DirServerReplies out;
    out.mReplies.push_back(Finish(wb));
    return out;
}

DirServerReplies EntityReplyStatus(WSStatus status)
{
    WriteBuffer wb(0);
    StartReply(wb, DirMsg_EntityReply);
    wb.AppendShort(static_cast<uint16_t>(static_cast<int16_t>(status)));
    DirServerReplies out;
    out.mReplies.push_back(Finish(wb));
    return out;
}

SmartPtr<ByteBuffer> ListReplyStatus(WSStatus status)
{
    WriteBuffer wb(0);
    StartReply(wb, DirMsg_EntityListReply);
    wb.AppendShort(static_cast<uint16_t>(static_cast<int16_t>(status)));
    return Finish(wb);
}

// The reply type a request waits for, so that a refusal reaches it in a form
// it reads. A service search waits for entity-list replies when its match
// flags (body byte 5) ask for every match, else for one entity reply; a
// request too short to say is taken for the latter.
uint16_t ReplyTypeFor(uint16_t msgType, const ByteBuffer* request)
{
    switch (msgType)
    {
    case DirMsg_GetDir:
    case DirMsg_GetMultiDir:
    case DirMsg_FindDirectory:
        return DirMsg_EntityListReply;
    case DirMsg_GetService:
        return DirMsg_EntityReply;
    case DirMsg_FindService:
    {
        const uint32_t matchFlagsAt = ServerMsgHeader_Size + 5;
        if (ByteBuffer::LengthOf(request) > matchFlagsAt &&
            (ByteBuffer::DataOf(request)[matchFlagsAt] & DirMatchFlag_All))
            return DirMsg_EntityListReply;
        return DirMsg_EntityReply;
    }
    default:
        return DirMsg_StatusReply;
    }
}

DirServerReplies RefusalFor(uint16_t msgType, WSStatus status, const ByteBuffer* request = nullptr)
{
    switch (ReplyTypeFor(msgType, request))
    {
    case DirMsg_EntityListReply:
    {
        DirServerReplies out;
        out.mReplies.push_back(ListReplyStatus(status));
        return out;
    }
    case DirMsg_EntityReply:
        return EntityReplyStatus(status);
    default:
        return StatusReply(status);
    }
}

bool Matches(const std::u16string& value, const std::u16string& pattern, uint8_t mode)
{
    if (pattern.empty())
        return true;
    switch (mode)
    {
    case DirMatch_Exact:
        return value == pattern;
    case DirMatch_Prefix:
        return value.compare(0, pattern.size(), pattern) == 0;
    default:
        return value.find(pattern) != std::u16string::npos;
    }
}

DataObjects::iterator FindObject(DataObjects& objects, const std::string& type)
{
    return std::find_if(objects.begin(), objects.end(),
                        [&](const std::pair<std::string, std::string>& o) { return o.first == type; });
}

bool ReadDataObjects(ReadBuffer& rb, DataObjects& out)
{
    const uint16_t count = rb.ReadShort();
    for (uint16_t i = 0; i < count; ++i)
    {
        std::string type = ReadAsString(rb, 1);
        std::string data = ReadAsString(rb, 2);
        out.emplace_back(std::move(type), std::move(data));
    }
    return true;
}

} // namespace

DirServerEngine::DirServerEngine()
    : mClock([] { return GetTimeSeconds(); }), mRoot(new Node), mNextExpiry(0), mReplyCap(0)
{
}

DirServerEngine::~DirServerEngine() = default;

void DirServerEngine::SetLimits(const Limits& limits)
{
    std::lock_guard<std::mutex> lock(mLock);
    mLimits = limits;
    if (mLimits.mMaxEntitiesPerReply == 0)
        mLimits.mMaxEntitiesPerReply = 1;
}

DirServerEngine::Limits DirServerEngine::GetLimits() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mLimits;
}

void DirServerEngine::SetClock(std::function<uint32_t()> clock)
{
    std::lock_guard<std::mutex> lock(mLock);
    mClock = std::move(clock);
}

SmartPtr<ByteBuffer> DirServerEngine::BuildStatusReply(int16_t status)
{
    WriteBuffer wb(0);
    StartReply(wb, DirMsg_StatusReply);
    wb.AppendShort(static_cast<uint16_t>(status));
    return Finish(wb);
}

SmartPtr<ByteBuffer> DirServerEngine::BuildRefusal(uint16_t replyType, int16_t status)
{
    WriteBuffer wb(0);
    StartReply(wb, replyType);
    wb.AppendShort(static_cast<uint16_t>(status));
    return Finish(wb);
}

DirServerReplies DirServerEngine::HandleRequest(const ByteBuffer* request, const ByteBuffer* peerAddress,
                                                uint32_t maxReplyLength)
{
    ReadBuffer rb(request);
    if (rb.Remaining() < ServerMsgHeader_Size)
    {
        DirServerReplies out = StatusReply(kInvalidMessage);
        out.mClose = true;
        return out;
    }
    const uint8_t headerType = rb.ReadByte();
    const uint16_t service = rb.ReadShort();
    const uint16_t msgType = rb.ReadShort();
    if (headerType != ServerMsgHeader_Type || service != DirServiceType)
    {
        DirServerReplies out = StatusReply(kInvalidMessage);
        out.mClose = true;
        return out;
    }

    std::string peerIP;
    if (ByteBuffer::LengthOf(peerAddress) >= 6)
        peerIP.assign(reinterpret_cast<const char*>(ByteBuffer::DataOf(peerAddress)) + 2, 4);

    std::lock_guard<std::mutex> lock(mLock);
    PurgeExpired();
    mReplyCap = maxReplyLength;
    const bool reading = msgType == DirMsg_GetDir || msgType == DirMsg_GetMultiDir ||
                         msgType == DirMsg_GetService || msgType == DirMsg_FindDirectory ||
                         msgType == DirMsg_FindService;
    const bool hooked = mChangeHook && !reading;
    std::vector<DirEngineRecord> before;
    if (hooked)
        ExportNode(*mRoot, u"/", before);
    DirServerReplies out;
    try
    {
        out = Dispatch(msgType, rb, peerIP);
    }
    catch (const ReadBufferException&)
    {
        if (hooked)
            ImportLocked(before);
        return RefusalFor(msgType, kInvalidMessage, request);
    }
    if (hooked)
    {
        std::vector<DirEngineRecord> records;
        ExportNode(*mRoot, u"/", records);
        if (!mChangeHook(records))
        {
            ImportLocked(before);
            return RefusalFor(msgType, WS_CommServ_Failure, request);
        }
    }
    return out;
}

void DirServerEngine::SetChangeHook(ChangeHook hook)
{
    std::lock_guard<std::mutex> lock(mLock);
    mChangeHook = std::move(hook);
}

std::vector<DirEngineRecord> DirServerEngine::Export()
{
    std::lock_guard<std::mutex> lock(mLock);
    PurgeExpired();
    std::vector<DirEngineRecord> out;
    ExportNode(*mRoot, u"/", out);
    return out;
}

void DirServerEngine::ExportNode(const Node& dir, const std::u16string& dirPath,
                                 std::vector<DirEngineRecord>& out) const
{
    for (const std::unique_ptr<Node>& child : dir.mChildren)
    {
        DirEngineRecord r;
        r.mPath = dirPath;
        r.mService = child->IsService();
        r.mName = child->mName;
        r.mDisplayName = child->mDisplayName;
        r.mAddress = child->mAddress;
        r.mDataObjects = child->mDataObjects;
        r.mPermissions = child->mPermissions;
        r.mExpiry = child->mExpiry;
        r.mCreated = child->mCreated;
        r.mChanges = child->mChanges;
        out.push_back(std::move(r));
        if (!child->IsService())
            ExportNode(*child, (dirPath == u"/" ? std::u16string() : dirPath) + u"/" + child->mName, out);
    }
}

size_t DirServerEngine::Import(const std::vector<DirEngineRecord>& records)
{
    std::lock_guard<std::mutex> lock(mLock);
    return ImportLocked(records);
}

size_t DirServerEngine::ImportLocked(const std::vector<DirEngineRecord>& records)
{
    mRoot.reset(new Node);
    mNextExpiry = 0;
    const uint32_t now = mClock();
    size_t added = 0;
    for (const DirEngineRecord& r : records)
    {
        if ((r.mExpiry != 0 && r.mExpiry <= now) || !ValidName(r.mName) || (r.mService && r.mAddress.size() != 6))
            continue;
        WSStatus status = WS_Success;
        Node* dir = FindDir(r.mPath, status, false);
        if (!dir || (r.mService ? FindService(*dir, r.mName, r.mAddress) != nullptr
                                : FindChildDir(*dir, r.mName) != nullptr))
            continue;
        std::unique_ptr<Node> made(new Node);
        made->mType = r.mService ? DirEntityType_Service : DirEntityType_Directory;
        made->mName = r.mName;
        made->mDisplayName = r.mDisplayName;
        made->mAddress = r.mService ? r.mAddress : std::string();
        made->mDataObjects = r.mDataObjects;
        made->mPermissions = r.mPermissions;
        made->mExpiry = r.mExpiry;
        made->mCreated = r.mCreated;
        made->mChanges = r.mChanges;
        NoteExpiry(made->mExpiry);
        dir->mChildren.push_back(std::move(made));
        ++added;
    }
    return added;
}

DirServerReplies DirServerEngine::Dispatch(uint16_t msgType, ReadBuffer& rb, const std::string& peerIP)
{
    switch (msgType)
    {
    case DirMsg_GetDir: return GetDir(rb);
    case DirMsg_GetMultiDir: return GetMultiDir(rb);
    case DirMsg_GetService: return GetService(rb);
    case DirMsg_FindDirectory: return FindEntity(rb, false);
    case DirMsg_FindService: return FindEntity(rb, true);
    case DirMsg_AddDirectory: return AddEntity(rb, false, peerIP);
    case DirMsg_AddService: return AddEntity(rb, true, peerIP);
    case DirMsg_ModifyDirectory: return ModifyEntity(rb, false, peerIP);
    case DirMsg_ModifyService: return ModifyEntity(rb, true, peerIP);
    case DirMsg_RemoveDirectory: return RemoveEntity(rb, false);
    case DirMsg_RemoveService: return RemoveEntity(rb, true);
    case DirMsg_RenameDirectory: return RenameEntity(rb, false);
    case DirMsg_RenameService: return RenameEntity(rb, true);
    case DirMsg_RenewDirectory: return RenewEntity(rb, false);
    case DirMsg_RenewService: return RenewEntity(rb, true);
    case DirMsg_SetDataObjectsDirectory: return SetDataObjects(rb, false);
    case DirMsg_SetDataObjectsService: return SetDataObjects(rb, true);
    case DirMsg_ModifyDataObjectsDirectory: return ModifyDataObjects(rb, false);
    case DirMsg_ModifyDataObjectsService: return ModifyDataObjects(rb, true);
    case DirMsg_ClearDataObjectsDirectory: return ClearDataObjects(rb, false);
    case DirMsg_ClearDataObjectsService: return ClearDataObjects(rb, true);
    default: return StatusReply(WS_CommServ_NotSupported);
    }
}

// ---- tree helpers (lock held) ----

void DirServerEngine::PurgeExpired()
{
    if (mNextExpiry == 0 || mClock() < mNextExpiry)
        return;
    uint32_t next = 0;
    PurgeNode(*mRoot, mClock(), next);
    mNextExpiry = next;
}

bool DirServerEngine::PurgeNode(Node& dir, uint32_t now, uint32_t& nextExpiry)
{
    auto& children = dir.mChildren;
    const size_t before = children.size();
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [now](const std::unique_ptr<Node>& n) { return n->mExpiry != 0 && n->mExpiry <= now; }),
                   children.end());
    for (auto& child : children)
    {
        if (child->mExpiry != 0 && (nextExpiry == 0 || child->mExpiry < nextExpiry))
            nextExpiry = child->mExpiry;
        if (!child->IsService())
            PurgeNode(*child, now, nextExpiry);
    }
    return children.size() != before;
}

void DirServerEngine::NoteExpiry(uint32_t expiry)
{
    if (expiry != 0 && (mNextExpiry == 0 || expiry < mNextExpiry))
        mNextExpiry = expiry;
}

uint32_t DirServerEngine::ExpiryOf(uint32_t lifespan) const
{
    return lifespan == 0 ? 0 : mClock() + lifespan;
}

WSStatus DirServerEngine::ValidLifespan(uint32_t lifespan) const
{
    return lifespan > mLimits.mMaxLifespan ? WS_DirServ_InvalidLifespan : WS_Success;
}

bool DirServerEngine::ValidName(const std::u16string& name) const
{
    return !name.empty() && name.size() <= mLimits.mMaxNameLength && name.find(u'/') == std::u16string::npos &&
           name != u"." && name != u"..";
}

DirServerEngine::Node* DirServerEngine::FindChildDir(Node& dir, const std::u16string& name)
{
    for (auto& child : dir.mChildren)
        if (!child->IsService() && child->mName == name)
            return child.get();
    return nullptr;
}

DirServerEngine::Node* DirServerEngine::FindService(Node& dir, const std::u16string& name, const std::string& address)
{
    for (auto& child : dir.mChildren)
        if (child->IsService() && child->mName == name && (address.empty() || child->mAddress == address))
            return child.get();
    return nullptr;
}

DirServerEngine::Node* DirServerEngine::FindDir(const std::u16string& path, WSStatus& status, bool create)
{
    if (path.size() > mLimits.mMaxPathLength)
    {
        status = WS_DirServ_InvalidPath;
        return nullptr;
    }
    const std::vector<std::u16string> parts = SplitPath(path);
    for (const std::u16string& part : parts)
        if (!ValidName(part))
        {
            status = WS_DirServ_InvalidPath;
            return nullptr;
        }
    Node* dir = mRoot.get();
    for (const std::u16string& part : parts)
    {
        Node* next = FindChildDir(*dir, part);
        if (!next)
        {
            if (!create)
            {
                status = WS_DirServ_DirNotFound;
                return nullptr;
            }
            if (dir->mChildren.size() >= mLimits.mMaxDirEntries)
            {
                status = WS_DirServ_DirIsFull;
                return nullptr;
            }
            std::unique_ptr<Node> made(new Node);
            made->mName = part;
            made->mCreated = mClock();
            next = made.get();
            dir->mChildren.push_back(std::move(made));
        }
        dir = next;
    }
    status = WS_Success;
    return dir;
}

WSStatus DirServerEngine::Resolve(const Identity& id, bool isService, Node*& parent, Node*& node)
{
    WSStatus status = WS_Success;
    parent = nullptr;
    node = nullptr;
    if (isService)
    {
        parent = FindDir(id.mPath, status);
        if (!parent)
            return status;
        node = FindService(*parent, id.mName, id.mAddress);
        return node ? WS_Success : WS_DirServ_ServiceNotFound;
    }
    std::vector<std::u16string> parts = SplitPath(id.mPath);
    if (parts.empty())
    {
        node = FindDir(id.mPath, status);
        return node ? WS_Success : status;
    }
    const std::u16string last = parts.back();
    parts.pop_back();
    parent = FindDir(CanonicalPath(parts), status);
    if (!parent)
        return status;
    if (!ValidName(last))
        return WS_DirServ_InvalidPath;
    node = FindChildDir(*parent, last);
    return node ? WS_Success : WS_DirServ_DirNotFound;
}

WSStatus DirServerEngine::CheckSize(const Node& node) const
{
    if (node.mDataObjects.size() > mLimits.mMaxDataObjects)
        return WS_DirServ_MaxDataObjects;
    size_t bytes = 2 * (node.mName.size() + node.mDisplayName.size()) + node.mAddress.size();
    for (const auto& o : node.mDataObjects)
        bytes += o.first.size() + o.second.size() + 3;
    return bytes > mLimits.mMaxEntityBytes ? WS_DirServ_EntityTooLarge : WS_Success;
}

namespace {

WSStatus CheckDataObjects(const DataObjects& objects, bool allowDuplicates)
{
    for (size_t i = 0; i < objects.size(); ++i)
    {
        if (objects[i].first.empty())
            return WS_DirServ_InvalidDataObject;
        if (!allowDuplicates)
            for (size_t j = 0; j < i; ++j)
                if (objects[j].first == objects[i].first)
                    return WS_DirServ_DataObjectExists;
    }
    return WS_Success;
}

void MergeDataObjects(DataObjects& into, const DataObjects& from)
{
    for (const auto& o : from)
    {
        auto it = FindObject(into, o.first);
        if (it != into.end())
            it->second = o.second;
        else
            into.push_back(o);
    }
}

void ReadIdentity(ReadBuffer& rb, bool isService, std::u16string& path, std::u16string& name, std::string& address)
{
    path = ReadWide(rb);
    if (isService)
    {
        name = ReadWide(rb);
        address = ReadAsString(rb, 1);
    }
}

std::string WithPeerIP(const std::string& address, const std::string& peerIP)
{
    if (peerIP.size() != 4)
        return address;
    std::string out = address.size() >= 2 ? address.substr(0, 2) : std::string(2, '\0');
    return out + peerIP;
}

} // namespace

// ---- changes ----

DirServerReplies DirServerEngine::AddEntity(ReadBuffer& rb, bool isService, const std::string& peerIP)
{
    const uint8_t flags = rb.ReadByte();
    const std::u16string path = ReadWide(rb);
    const std::u16string name = ReadWide(rb);
    std::string address;
    if (isService)
        address = ReadAsString(rb, 1);
    const std::u16string display = ReadWide(rb);
    const uint32_t lifespan = rb.ReadLong();
    DataObjects objects;
    ReadDataObjects(rb, objects);
    rb.ReadShort();

    if (!ValidName(name))
        return StatusReply(WS_DirServ_InvalidPath);
    WSStatus status = ValidLifespan(lifespan);
    if (status != WS_Success)
        return StatusReply(status);
    status = CheckDataObjects(objects, false);
    if (status != WS_Success)
        return StatusReply(status);
    if (isService)
    {
        if (flags & DirAddFlag_UsePeerAddress)
            address = WithPeerIP(address, peerIP);
        if (address.size() != 6)
            return StatusReply(WS_DirServ_InvalidKey);
    }

    std::unique_ptr<Node> made(new Node);
    made->mType = isService ? DirEntityType_Service : DirEntityType_Directory;
    made->mName = name;
    made->mDisplayName = display;
    made->mAddress = address;
    made->mDataObjects = objects;
    made->mExpiry = ExpiryOf(lifespan);
    made->mCreated = mClock();
    status = CheckSize(*made);
    if (status != WS_Success)
        return StatusReply(status);

    // Check the path before creating anything, so a refused request changes nothing.
    Node* parent = FindDir(path, status, false);
    if (!parent && status == WS_DirServ_DirNotFound && (flags & DirAddFlag_CreatePath))
        parent = FindDir(path, status, true);
    if (!parent)
        return StatusReply(status);

    Node* existing = isService ? FindService(*parent, name, address) : FindChildDir(*parent, name);
    if (existing)
    {
        if (flags & DirAddFlag_Unique)
            return StatusReply(isService ? WS_DirServ_ServiceExists : WS_DirServ_DirExists);
        existing->mDisplayName = made->mDisplayName;
        existing->mDataObjects = made->mDataObjects;
        existing->mExpiry = made->mExpiry;
        ++existing->mChanges;
    }
    else
    {
        if (parent->mChildren.size() >= mLimits.mMaxDirEntries)
            return StatusReply(WS_DirServ_DirIsFull);
        parent->mChildren.push_back(std::move(made));
    }
    NoteExpiry(ExpiryOf(lifespan));
    if (isService && (flags & DirAddFlag_UsePeerAddress))
        return StatusReplyWithAddress(WS_Success, address);
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::ModifyEntity(ReadBuffer& rb, bool isService, const std::string& peerIP)
{
    const uint8_t flags = rb.ReadByte();
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    const std::u16string newName = ReadWide(rb);
    std::string newAddress;
    if (isService)
        newAddress = ReadAsString(rb, 1);
    const std::u16string newDisplay = ReadWide(rb);
    const uint32_t lifespan = rb.ReadLong();
    DataObjects objects;
    ReadDataObjects(rb, objects);
    rb.ReadShort();

    Node* parent = nullptr;
    Node* node = nullptr;
    WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    if (!newName.empty() && !ValidName(newName))
        return StatusReply(WS_DirServ_InvalidPath);
    if (!isService && !newName.empty() && node == mRoot.get())
        return StatusReply(WS_DirServ_InvalidPath);
    status = ValidLifespan(lifespan);
    if (status != WS_Success)
        return StatusReply(status);
    status = CheckDataObjects(objects, false);
    if (status != WS_Success)
        return StatusReply(status);

    Node changed;
    changed.mType = node->mType;
    changed.mName = newName.empty() ? node->mName : newName;
    changed.mDisplayName = newDisplay.empty() ? node->mDisplayName : newDisplay;
    changed.mAddress = node->mAddress;
    if (isService)
    {
        if (!newAddress.empty())
            changed.mAddress = newAddress;
        if (flags & DirAddFlag_UsePeerAddress)
            changed.mAddress = WithPeerIP(changed.mAddress, peerIP);
        if (changed.mAddress.size() != 6)
            return StatusReply(WS_DirServ_InvalidKey);
    }
    changed.mDataObjects = node->mDataObjects;
    MergeDataObjects(changed.mDataObjects, objects);
    status = CheckSize(changed);
    if (status != WS_Success)
        return StatusReply(status);

    if (parent && (changed.mName != node->mName || changed.mAddress != node->mAddress))
    {
        Node* clash = isService ? FindService(*parent, changed.mName, changed.mAddress)
                                : FindChildDir(*parent, changed.mName);
        if (clash && clash != node)
            return StatusReply(isService ? WS_DirServ_ServiceExists : WS_DirServ_DirExists);
    }

    node->mName = changed.mName;
    node->mDisplayName = changed.mDisplayName;
    node->mAddress = changed.mAddress;
    node->mDataObjects = changed.mDataObjects;
    if (lifespan != 0)
    {
        node->mExpiry = ExpiryOf(lifespan);
        NoteExpiry(node->mExpiry);
    }
    ++node->mChanges;
    if (isService && (flags & DirAddFlag_UsePeerAddress))
        return StatusReplyWithAddress(WS_Success, node->mAddress);
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::RemoveEntity(ReadBuffer& rb, bool isService)
{
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    Node* parent = nullptr;
    Node* node = nullptr;
    const WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    if (!parent)
        return StatusReply(WS_DirServ_InvalidPath);   // the root stays
    auto& children = parent->mChildren;
    children.erase(std::find_if(children.begin(), children.end(),
                                [node](const std::unique_ptr<Node>& n) { return n.get() == node; }));
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::RenameEntity(ReadBuffer& rb, bool isService)
{
    const bool unique = rb.ReadBool();
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    const std::u16string newName = ReadWide(rb);
    Node* parent = nullptr;
    Node* node = nullptr;
    const WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    if (!parent || !ValidName(newName))
        return StatusReply(WS_DirServ_InvalidPath);
    if (newName == node->mName)
        return StatusReply(WS_Success);
    Node* clash = isService ? FindService(*parent, newName, node->mAddress) : FindChildDir(*parent, newName);
    if (clash)
    {
        if (unique)
            return StatusReply(isService ? WS_DirServ_ServiceExists : WS_DirServ_DirExists);
        auto& children = parent->mChildren;
        children.erase(std::find_if(children.begin(), children.end(),
                                    [clash](const std::unique_ptr<Node>& n) { return n.get() == clash; }));
    }
    node->mName = newName;
    ++node->mChanges;
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::RenewEntity(ReadBuffer& rb, bool isService)
{
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    const uint32_t lifespan = rb.ReadLong();
    Node* parent = nullptr;
    Node* node = nullptr;
    WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    status = ValidLifespan(lifespan);
    if (status != WS_Success)
        return StatusReply(status);
    if (!parent)
        return StatusReply(WS_DirServ_InvalidPath);   // the root never expires
    node->mExpiry = ExpiryOf(lifespan);
    NoteExpiry(node->mExpiry);
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::SetDataObjects(ReadBuffer& rb, bool isService)
{
    const uint8_t mode = rb.ReadByte();
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    DataObjects objects;
    ReadDataObjects(rb, objects);
    if (mode > DirSetData_ReplaceAll)
        return StatusReply(WS_DirServ_InvalidMode);
    Node* parent = nullptr;
    Node* node = nullptr;
    WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    status = CheckDataObjects(objects, false);
    if (status != WS_Success)
        return StatusReply(status);

    DataObjects result = mode == DirSetData_ReplaceAll ? DataObjects() : node->mDataObjects;
    if (mode == DirSetData_Add)
        for (const auto& o : objects)
            if (FindObject(result, o.first) != result.end())
                return StatusReply(WS_DirServ_DataObjectExists);
    MergeDataObjects(result, objects);
    return CommitDataObjects(*node, result);
}

DirServerReplies DirServerEngine::CommitDataObjects(Node& node, DataObjects& objects)
{
    Node check;
    check.mName = node.mName;
    check.mDisplayName = node.mDisplayName;
    check.mAddress = node.mAddress;
    check.mDataObjects = objects;
    const WSStatus status = CheckSize(check);
    if (status != WS_Success)
        return StatusReply(status);
    node.mDataObjects.swap(objects);
    ++node.mChanges;
    return StatusReply(WS_Success);
}

DirServerReplies DirServerEngine::ModifyDataObjects(ReadBuffer& rb, bool isService)
{
    struct Change
    {
        uint16_t mOffset;
        bool mInsert;
        std::string mType;
        std::string mData;
    };
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    std::vector<Change> changes;
    const uint16_t count = rb.ReadShort();
    for (uint16_t i = 0; i < count; ++i)
    {
        Change c;
        c.mOffset = rb.ReadShort();
        c.mInsert = rb.ReadByte() != 0;
        c.mType = ReadAsString(rb, 1);
        c.mData = ReadAsString(rb, 2);
        changes.push_back(std::move(c));
    }
    Node* parent = nullptr;
    Node* node = nullptr;
    WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);

    DataObjects result = node->mDataObjects;
    for (const Change& c : changes)
    {
        auto it = FindObject(result, c.mType);
        if (it == result.end())
            return StatusReply(WS_DirServ_DataObjectNotFound);
        std::string& data = it->second;
        if (c.mOffset > data.size())
            return StatusReply(WS_DirServ_BadDataOffset);
        if (c.mInsert)
            data.insert(c.mOffset, c.mData);
        else
        {
            if (c.mOffset + c.mData.size() > data.size())
                data.resize(c.mOffset + c.mData.size());
            data.replace(c.mOffset, c.mData.size(), c.mData);
        }
        if (data.size() > 0xFFFF)
            return StatusReply(WS_DirServ_EntityTooLarge);
    }
    return CommitDataObjects(*node, result);
}

DirServerReplies DirServerEngine::ClearDataObjects(ReadBuffer& rb, bool isService)
{
    Identity id;
    ReadIdentity(rb, isService, id.mPath, id.mName, id.mAddress);
    std::vector<std::string> types;
    const uint16_t count = rb.ReadShort();
    for (uint16_t i = 0; i < count; ++i)
        types.push_back(ReadAsString(rb, 1));
    Node* parent = nullptr;
    Node* node = nullptr;
    const WSStatus status = Resolve(id, isService, parent, node);
    if (status != WS_Success)
        return StatusReply(status);
    if (node->mDataObjects.empty())
        return StatusReply(WS_DirServ_NoDataObjects);
    if (types.empty())
    {
        node->mDataObjects.clear();
        ++node->mChanges;
        return StatusReply(WS_Success);
    }
    DataObjects result = node->mDataObjects;
    for (const std::string& type : types)
    {
        auto it = FindObject(result, type);
        if (it == result.end())
            return StatusReply(WS_DirServ_DataObjectNotFound);
        result.erase(it);
    }
    node->mDataObjects.swap(result);
    ++node->mChanges;
    return StatusReply(WS_Success);
}

// ---- queries ----

namespace {

std::vector<std::string> ReadTypes(ReadBuffer& rb)
{
    std::vector<std::string> types;
    const uint16_t count = rb.ReadShort();
    for (uint16_t i = 0; i < count; ++i)
        types.push_back(ReadAsString(rb, 1));
    return types;
}

uint32_t EffectiveFlags(uint32_t flags)
{
    flags &= DirGetFlags_All;
    if ((flags & DirGetFlag_Services) && (flags & DirGetFlags_AnyDirectory))
        flags |= DirGetFlag_Type;
    return flags;
}

} // namespace

void DirServerEngine::EncodeEntity(WriteBuffer& wb, const Node& node, const std::u16string& dirPath, uint32_t flags,
                                   bool listLayout, const std::vector<std::string>& types) const
{
    if (flags & DirGetFlag_Type)
        wb.AppendByte(node.mType);
    if (node.IsService() || !listLayout)
    {
        if (flags & DirGetFlag_ServicePath)
            wb.AppendWString(dirPath, 2);
        if (flags & DirGetFlag_ServiceName)
            wb.AppendWString(node.mName, 2);
        if (flags & DirGetFlag_ServiceNetAddr)
            wb.AppendString(node.mAddress, 1);
    }
    else
    {
        if (flags & DirGetFlag_DirPath)
            wb.AppendWString(dirPath, 2);
        if (flags & DirGetFlag_DirName)
            wb.AppendWString(node.mName, 2);
        if (flags & DirGetFlag_DirFlag)
            wb.AppendBool(!node.mChildren.empty());
    }
    if (flags & DirGetFlag_DisplayName)
        wb.AppendWString(node.mDisplayName, 2);
    const uint32_t now = mClock();
    const uint32_t values[4] = {static_cast<uint32_t>(node.mChildren.size()),
                                node.mExpiry > now ? node.mExpiry - now : 0, node.mCreated, node.mChanges};
    if (flags & DirGetFlag_Value1)
        wb.AppendLong(values[0]);
    if (flags & DirGetFlag_Value2)
        wb.AppendLong(values[1]);
    if (flags & DirGetFlag_Value3)
        wb.AppendLong(values[2]);
    if (flags & DirGetFlag_Value4)
        wb.AppendLong(values[3]);
    if (flags & DirGetFlag_DataObjects)
    {
        std::vector<const std::pair<std::string, std::string>*> chosen;
        for (const auto& o : node.mDataObjects)
            if (types.empty() || std::find(types.begin(), types.end(), o.first) != types.end())
                chosen.push_back(&o);
        wb.AppendShort(static_cast<uint16_t>(chosen.size()));
        for (const auto* o : chosen)
        {
            if (flags & DirGetFlag_DataObjectTypes)
                wb.AppendString(o->first, 1);
            if (flags & DirGetFlag_DataObjectData)
                wb.AppendString(o->second, 2);
        }
    }
    if (flags & DirGetFlag_Permissions)
    {
        std::map<uint8_t, std::vector<const DirPermission*>> acls;
        for (const DirPermission& p : node.mPermissions)
            acls[p.mACLType].push_back(&p);
        wb.AppendShort(static_cast<uint16_t>(acls.size()));
        for (const auto& acl : acls)
        {
            wb.AppendByte(acl.first);
            wb.AppendShort(static_cast<uint16_t>(acl.second.size()));
            for (const DirPermission* p : acl.second)
            {
                wb.AppendLong(p->mValue1);
                wb.AppendLong(p->mValue2);
                wb.AppendShort(p->mValue3);
            }
        }
    }
}

void DirServerEngine::ListInto(DirServerReplies& out, WSStatus status, uint32_t flags,
                               const std::vector<ListItem>& items, const std::vector<std::string>& types)
{
    if (status != WS_Success)
    {
        out.mReplies.push_back(ListReplyStatus(status));
        return;
    }
    WriteBuffer reply(0);
    WriteBuffer entity(0);
    size_t index = 0;
    const uint32_t maxBytes =
        mReplyCap != 0 && mReplyCap < mLimits.mMaxReplyBytes ? mReplyCap : mLimits.mMaxReplyBytes;
    do
    {
        StartReply(reply, DirMsg_EntityListReply);
        reply.AppendShort(0);
        reply.AppendByte(0);          // sequence flags, set below
        reply.AppendLong(flags);
        reply.AppendShort(0);         // count, set below
        uint16_t count = 0;
        while (index < items.size() && count < mLimits.mMaxEntitiesPerReply && count < 0xFFFF)
        {
            entity.Reset();
            EncodeEntity(entity, *items[index].mNode, items[index].mDirPath, flags, true, types);
            if (count > 0 && reply.GetLength() + entity.GetLength() > maxBytes)
                break;
            reply.AppendBytes(entity.GetData(), entity.GetLength());
            ++count;
            ++index;
        }
        reply.SetShort(ServerMsgHeader_Size + 2 + 1 + 4, count);
        if (index >= items.size())
            reply.SetByte(ServerMsgHeader_Size + 2, DirSeqFlag_Last);
        out.mReplies.push_back(Finish(reply));
    } while (index < items.size());
}

DirServerReplies DirServerEngine::GetDir(ReadBuffer& rb)
{
    const uint32_t flags = rb.ReadLong();
    rb.ReadShort();
    const std::u16string path = ReadWide(rb);
    const std::vector<std::string> types = ReadTypes(rb);
    DirServerReplies out;
    const uint32_t eff = EffectiveFlags(flags);
    if (!(eff & (DirGetFlag_Services | DirGetFlags_AnyDirectory)))
    {
        ListInto(out, WS_DirServ_InvalidGetFlags, eff, {}, types);
        return out;
    }
    WSStatus status = WS_Success;
    Node* dir = FindDir(path, status);
    std::vector<ListItem> items;
    if (dir)
    {
        const std::u16string canonical = CanonicalPath(SplitPath(path));
        for (const auto& child : dir->mChildren)
            if ((child->IsService() && (eff & DirGetFlag_Services)) ||
                (!child->IsService() && (eff & DirGetFlags_AnyDirectory)))
                items.push_back({child.get(), canonical});
    }
    ListInto(out, status, eff, items, types);
    return out;
}

DirServerReplies DirServerEngine::GetMultiDir(ReadBuffer& rb)
{
    rb.ReadShort();
    const uint8_t count = rb.ReadByte();
    struct Request
    {
        uint32_t mFlags;
        std::u16string mPath;
        std::vector<std::string> mTypes;
    };
    std::vector<Request> requests;
    DirServerReplies out;
    try
    {
        for (uint8_t i = 0; i < count; ++i)
        {
            Request r;
            r.mFlags = rb.ReadLong();
            rb.ReadByte();
            r.mPath = ReadWide(rb);
            r.mTypes = ReadTypes(rb);
            requests.push_back(std::move(r));
        }
    }
    catch (const ReadBufferException&)
    {
        // The client reads one listing per announced request: refuse each,
        // or it would wait for the missing ones until its time runs out.
        for (uint8_t i = 0; i < count; ++i)
            out.mReplies.push_back(ListReplyStatus(kInvalidMessage));
        return out;
    }
    for (const Request& r : requests)
    {
        const uint32_t eff = EffectiveFlags(r.mFlags);
        if (!(eff & (DirGetFlag_Services | DirGetFlags_AnyDirectory)))
        {
            ListInto(out, WS_DirServ_InvalidGetFlags, eff, {}, r.mTypes);
            continue;
        }
        WSStatus status = WS_Success;
        Node* dir = FindDir(r.mPath, status);
        std::vector<ListItem> items;
        if (dir)
        {
            const std::u16string canonical = CanonicalPath(SplitPath(r.mPath));
            for (const auto& child : dir->mChildren)
                if ((child->IsService() && (eff & DirGetFlag_Services)) ||
                    (!child->IsService() && (eff & DirGetFlags_AnyDirectory)))
                    items.push_back({child.get(), canonical});
        }
        ListInto(out, status, eff, items, r.mTypes);
    }
    if (requests.empty())
        ListInto(out, WS_Success, DirGetFlags_Default, {}, {});
    return out;
}

DirServerReplies DirServerEngine::GetService(ReadBuffer& rb)
{
    const uint32_t flags = rb.ReadLong() & DirGetFlags_All;
    const std::u16string path = ReadWide(rb);
    const std::u16string name = ReadWide(rb);
    const std::string address = ReadAsString(rb, 1);
    const std::vector<std::string> types = ReadTypes(rb);
    WSStatus status = WS_Success;
    Node* dir = FindDir(path, status);
    if (!dir)
        return EntityReplyStatus(status);
    Node* service = FindService(*dir, name, address);
    if (!service)
        return EntityReplyStatus(WS_DirServ_ServiceNotFound);
    WriteBuffer wb(0);
    StartReply(wb, DirMsg_EntityReply);
    wb.AppendShort(0);
    wb.AppendLong(flags);
    EncodeEntity(wb, *service, CanonicalPath(SplitPath(path)), flags, false, types);
    DirServerReplies out;
    out.mReplies.push_back(Finish(wb));
    return out;
}

DirServerReplies DirServerEngine::FindEntity(ReadBuffer& rb, bool isService)
{
    const uint32_t flags = rb.ReadLong();
    const uint8_t mode = rb.ReadByte();
    const uint8_t matchFlags = rb.ReadByte();
    rb.ReadShort();
    const std::u16string path = ReadWide(rb);
    const std::u16string name = ReadWide(rb);
    std::string address;
    if (isService)
        address = ReadAsString(rb, 1);
    const std::u16string display = ReadWide(rb);
    DataObjects match;
    ReadDataObjects(rb, match);
    const std::vector<std::string> types = ReadTypes(rb);

    const bool single = isService && !(matchFlags & DirMatchFlag_All);
    if (mode > DirMatch_Substring)
        return single ? EntityReplyStatus(WS_DirServ_InvalidMode) : RefusalFor(DirMsg_FindDirectory, WS_DirServ_InvalidMode);
    // A reader takes every entity of a listing whose flags name no directory
    // kind for a service, so directories cannot be sent under such flags.
    if (!isService && !(EffectiveFlags(flags) & DirGetFlags_AnyDirectory))
        return RefusalFor(DirMsg_FindDirectory, WS_DirServ_InvalidGetFlags);

    WSStatus status = WS_Success;
    Node* dir = FindDir(path, status);
    std::vector<ListItem> found;
    if (dir)
    {
        std::vector<ListItem> pending{{dir, CanonicalPath(SplitPath(path))}};
        while (!pending.empty() && !(single && !found.empty()))
        {
            ListItem current = pending.front();
            pending.erase(pending.begin());
            for (const auto& child : current.mNode->mChildren)
            {
                if (child->IsService() == isService && Matches(child->mName, name, mode) &&
                    Matches(child->mDisplayName, display, mode) && (address.empty() || child->mAddress == address))
                {
                    bool ok = true;
                    DataObjects& objects = child->mDataObjects;
                    for (const auto& m : match)
                    {
                        auto it = FindObject(objects, m.first);
                        if (it == objects.end() || (!m.second.empty() && it->second != m.second))
                            ok = false;
                    }
                    if (ok)
                        found.push_back({child.get(), current.mDirPath});
                }
                if (!child->IsService() && (matchFlags & DirMatchFlag_Recursive))
                    pending.push_back({child.get(), JoinPath(current.mDirPath, child->mName)});
            }
        }
    }

    if (single)
    {
        if (!dir)
            return EntityReplyStatus(status);
        if (found.empty())
            return EntityReplyStatus(WS_DirServ_ServiceNotFound);
        const uint32_t eff = flags & DirGetFlags_All;
        WriteBuffer wb(0);
        StartReply(wb, DirMsg_EntityReply);
        wb.AppendShort(0);
        wb.AppendLong(eff);
        EncodeEntity(wb, *found.front().mNode, found.front().mDirPath, eff, false, types);
        DirServerReplies out;
        out.mReplies.push_back(Finish(wb));
        return out;
    }
    DirServerReplies out;
    uint32_t eff = EffectiveFlags(flags);
    // The kind is known from the request; make sure the list layout reads it so.
    eff |= DirGetFlag_Type;
    ListInto(out, status, eff, found, types);
    return out;
}

// ---- direct access ----

WSStatus DirServerEngine::AddDirectory(const std::u16string& path, const std::u16string& displayName,
                                       uint32_t lifespan)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (ValidLifespan(lifespan) != WS_Success)
        return WS_DirServ_InvalidLifespan;
    WSStatus status = WS_Success;
    Node* dir = FindDir(path, status, true);
    if (!dir)
        return status;
    if (dir != mRoot.get())
    {
        if (!displayName.empty())
            dir->mDisplayName = displayName;
        dir->mExpiry = ExpiryOf(lifespan);
        NoteExpiry(dir->mExpiry);
    }
    return WS_Success;
}

WSStatus DirServerEngine::AddService(const std::u16string& path, const std::u16string& name,
                                     const std::string& address6, const std::u16string& displayName,
                                     uint32_t lifespan, const DataObjects& dataObjects)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!ValidName(name))
        return WS_DirServ_InvalidPath;
    if (address6.size() != 6)
        return WS_DirServ_InvalidKey;
    WSStatus status = ValidLifespan(lifespan);
    if (status == WS_Success)
        status = CheckDataObjects(dataObjects, false);
    if (status != WS_Success)
        return status;
    Node* dir = FindDir(path, status, true);
    if (!dir)
        return status;
    if (FindService(*dir, name, address6))
        return WS_DirServ_ServiceExists;
    if (dir->mChildren.size() >= mLimits.mMaxDirEntries)
        return WS_DirServ_DirIsFull;
    std::unique_ptr<Node> made(new Node);
    made->mType = DirEntityType_Service;
    made->mName = name;
    made->mDisplayName = displayName;
    made->mAddress = address6;
    made->mDataObjects = dataObjects;
    made->mExpiry = ExpiryOf(lifespan);
    made->mCreated = mClock();
    status = CheckSize(*made);
    if (status != WS_Success)
        return status;
    NoteExpiry(made->mExpiry);
    dir->mChildren.push_back(std::move(made));
    return WS_Success;
}

WSStatus DirServerEngine::SetPermissions(const std::u16string& path, const std::u16string& serviceName,
                                         const std::vector<DirPermission>& perms)
{
    std::lock_guard<std::mutex> lock(mLock);
    WSStatus status = WS_Success;
    Node* dir = FindDir(path, status);
    if (!dir)
        return status;
    Node* node = dir;
    if (!serviceName.empty())
    {
        node = FindService(*dir, serviceName, std::string());
        if (!node)
            return WS_DirServ_ServiceNotFound;
    }
    node->mPermissions = perms;
    return WS_Success;
}

size_t DirServerEngine::CountEntities()
{
    std::lock_guard<std::mutex> lock(mLock);
    PurgeExpired();
    size_t count = 0;
    std::vector<const Node*> pending{mRoot.get()};
    while (!pending.empty())
    {
        const Node* node = pending.back();
        pending.pop_back();
        for (const auto& child : node->mChildren)
        {
            ++count;
            if (!child->IsService())
                pending.push_back(child.get());
        }
    }
    return count;
}

void DirServerEngine::Clear()
{
    std::lock_guard<std::mutex> lock(mLock);
    mRoot.reset(new Node);
    mNextExpiry = 0;
}

} // namespace QORAPI
