// DirServerEngine: the logic of the local directory server, without transport.
// It keeps an in-memory tree of directories and services with display names,
// data objects, permissions and lifespans, and turns each request message of
// the directory service into the reply messages the service sends back.
//
// Requests and replies are whole messages starting with the common header
// (5, 2, message type); the transport adds and removes the length prefix.
// Long listings are split over several entity-list replies. A request that
// cannot be parsed gets a refusal in the reply type its sender waits for and
// changes nothing; a message that is not a directory request ends the
// connection.
//
// Thread safety: every public method may be called from any thread; one lock
// guards the tree.
#ifndef QORAPI_SERVICE_DIRSERVERENGINE_H
#define QORAPI_SERVICE_DIRSERVERENGINE_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/WSStatus.h"
#include "common/WriteBuffer.h"
#include "dir/DirEntity.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace QORAPI {

// Meanings this server gives to the fields the client passes through.
enum DirServerFlag : uint8_t {
    DirAddFlag_Unique = 0x01,         // add/modify: refuse when the entity (or new name) exists
    DirAddFlag_CreatePath = 0x02,     // add: create missing directories of the path
    DirAddFlag_UsePeerAddress = 0x10, // add/modify: register under the client's IP, return the address
};
enum DirSetDataMode : uint8_t {
    DirSetData_Add = 0,        // refuse a type that exists
    DirSetData_AddReplace = 1, // replace objects of the same type, add the others
    DirSetData_ReplaceAll = 2, // the given objects become the entity's objects
};
enum DirMatchMode : uint8_t {
    DirMatch_Exact = 0,
    DirMatch_Prefix = 1,
    DirMatch_Substring = 2,
};
enum DirMatchFlag : uint8_t {
    DirMatchFlag_All = 0x01,       // return every match (entity-list replies)
    DirMatchFlag_Recursive = 0x02, // search the whole subtree below the path
};

// One entity of the tree as Export hands it out and Import takes it back: the
// whole state of a node, for storing the tree outside the process.
struct DirEngineRecord
{
    std::u16string mPath;          // the directory holding the entity ("/" for the root's children)
    bool mService = false;
    std::u16string mName;
    std::u16string mDisplayName;
    std::string mAddress;          // services: 6-byte wire form
    std::vector<std::pair<std::string, std::string>> mDataObjects;
    std::vector<DirPermission> mPermissions;
    uint32_t mExpiry = 0;          // seconds since 1970; 0 = never
    uint32_t mCreated = 0;
    uint32_t mChanges = 0;
};

struct DirServerReplies
{
    std::vector<SmartPtr<ByteBuffer>> mReplies;  // in sending order, without length prefix
    bool mClose = false;                         // end the connection after sending them
};

class DirServerEngine
{
public:
    struct Limits
    {
        uint32_t mMaxEntitiesPerReply = 64;
        uint32_t mMaxReplyBytes = 16000;
        uint32_t mMaxDirEntries = 10000;
        uint32_t mMaxDataObjects = 64;
        uint32_t mMaxEntityBytes = 60000;
        uint32_t mMaxLifespan = 31536000;   // one year, in seconds
        uint32_t mMaxNameLength = 255;
        uint32_t mMaxPathLength = 1024;
    };

    DirServerEngine();
    ~DirServerEngine();
    DirServerEngine(const DirServerEngine&) = delete;
    DirServerEngine& operator=(const DirServerEngine&) = delete;

    void SetLimits(const Limits& limits);
    Limits GetLimits() const;
    // Seconds since 1970; the default reads the system clock.
    void SetClock(std::function<uint32_t()> clock);

    // Handles one request. peerAddress is the client's address in the 6-byte
    // wire form (may be null); DirAddFlag_UsePeerAddress takes its IP.
    // maxReplyLength (0: none) caps the length of each listing reply below the
    // engine's own limit, for transports whose frames carry less; a single
    // entity longer than that still makes a reply of its own.
    DirServerReplies HandleRequest(const ByteBuffer* request, const ByteBuffer* peerAddress = nullptr,
                                   uint32_t maxReplyLength = 0);

    // Direct access for seeding and inspection. Paths are '/'-separated.
    WSStatus AddDirectory(const std::u16string& path, const std::u16string& displayName = std::u16string(),
                          uint32_t lifespan = 0);
    WSStatus AddService(const std::u16string& path, const std::u16string& name, const std::string& address6,
                        const std::u16string& displayName = std::u16string(), uint32_t lifespan = 0,
                        const std::vector<std::pair<std::string, std::string>>& dataObjects = {});
    WSStatus SetPermissions(const std::u16string& path, const std::u16string& serviceName,
                            const std::vector<DirPermission>& perms);
    // The tree, parents before their children, in insertion order.
    std::vector<DirEngineRecord> Export();
    // Replaces the tree by records (as Export gives them); records whose
    // directory is missing or whose expiry has passed are skipped. Returns
    // the number of entities added.
    size_t Import(const std::vector<DirEngineRecord>& records);
    // Called, under the engine's lock, with the whole tree after each request
    // that may change it and before its replies are handed back, so that a
    // store can make the change durable before the client learns of it. A hook
    // that returns false could not store it: the engine then puts the tree
    // back as it was and refuses the request with WS_CommServ_Failure, so a
    // client is never told of a change that was not kept.
    typedef std::function<bool(const std::vector<DirEngineRecord>&)> ChangeHook;
    void SetChangeHook(ChangeHook hook);

    // Number of entities below the root (the root itself not counted).
    size_t CountEntities();
    void Clear();

    // A status reply (type 1) carrying the status.
    static SmartPtr<ByteBuffer> BuildStatusReply(int16_t status);
    // A refusal in the given reply type (status, entity or entity-list).
    static SmartPtr<ByteBuffer> BuildRefusal(uint16_t replyType, int16_t status);

    struct Node;

private:
    struct Identity;
    struct ListItem;

    DirServerReplies Dispatch(uint16_t msgType, ReadBuffer& rb, const std::string& peerIP);
    void PurgeExpired();
    bool PurgeNode(Node& dir, uint32_t now, uint32_t& nextExpiry);
    Node* FindDir(const std::u16string& path, WSStatus& status, bool create = false);
    Node* FindChildDir(Node& dir, const std::u16string& name);
    Node* FindService(Node& dir, const std::u16string& name, const std::string& address);
    WSStatus Resolve(const Identity& id, bool isService, Node*& parent, Node*& node);
    bool ValidName(const std::u16string& name) const;
    WSStatus ValidLifespan(uint32_t lifespan) const;
    uint32_t ExpiryOf(uint32_t lifespan) const;
    void NoteExpiry(uint32_t expiry);
    WSStatus CheckSize(const Node& node) const;
    // Replaces node's data objects by objects when the entity stays within its size limit.
    DirServerReplies CommitDataObjects(Node& node, std::vector<std::pair<std::string, std::string>>& objects);

    DirServerReplies AddEntity(ReadBuffer& rb, bool isService, const std::string& peerIP);
    DirServerReplies ModifyEntity(ReadBuffer& rb, bool isService, const std::string& peerIP);
    DirServerReplies RemoveEntity(ReadBuffer& rb, bool isService);
    DirServerReplies RenameEntity(ReadBuffer& rb, bool isService);
    DirServerReplies RenewEntity(ReadBuffer& rb, bool isService);
    DirServerReplies SetDataObjects(ReadBuffer& rb, bool isService);
    DirServerReplies ModifyDataObjects(ReadBuffer& rb, bool isService);
    DirServerReplies ClearDataObjects(ReadBuffer& rb, bool isService);
    DirServerReplies GetDir(ReadBuffer& rb);
    DirServerReplies GetMultiDir(ReadBuffer& rb);
    DirServerReplies GetService(ReadBuffer& rb);
    DirServerReplies FindEntity(ReadBuffer& rb, bool isService);

    void ExportNode(const Node& dir, const std::u16string& dirPath, std::vector<DirEngineRecord>& out) const;
    size_t ImportLocked(const std::vector<DirEngineRecord>& records);  // mLock held

    void ListInto(DirServerReplies& out, WSStatus status, uint32_t flags, const std::vector<ListItem>& items,
                  const std::vector<std::string>& types);
    void EncodeEntity(WriteBuffer& wb, const Node& node, const std::u16string& dirPath, uint32_t flags,
                      bool listLayout, const std::vector<std::string>& types) const;

    mutable std::mutex mLock;                 // guards everything below
    Limits mLimits;
    std::function<uint32_t()> mClock;
    std::unique_ptr<Node> mRoot;
    uint32_t mNextExpiry;                     // earliest expiry in the tree; 0 when none
    uint32_t mReplyCap;                       // the request's maxReplyLength; 0 when none
    ChangeHook mChangeHook;
};

} // namespace QORAPI

#endif
