// Parsers of the directory service's replies: the status reply (type 1), the
// single-entity reply (type 2) and the entity-list reply (type 3).
//
// Each takes the whole reply as the socket hands it out (common header first,
// length prefix removed). A header other than the expected one gives
// WS_ServerReq_InvalidReplyHeader; a reply that ends before a field it
// announces gives WS_ServerReq_UnpackFailure. Nothing is stored from a reply
// that fails to parse, so earlier results stay as they were.
//
// Thread safety: free functions without shared state.
#ifndef QORAPI_DIR_DIRREPLY_H
#define QORAPI_DIR_DIRREPLY_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/WSStatus.h"
#include "dir/DirEntity.h"

#include <cstdint>

namespace QORAPI {

// Entity-list reply: appends the reply's entities. Returns a negative server
// status as it is, WS_Success for the last reply of a listing, and
// WS_ServerReq_Recv when more replies of the same listing follow.
WSStatus UnpackEntityListReply(const ByteBuffer* reply, DirEntityList& entities);

// Single-entity reply: on a status of zero or above, entity becomes the entity
// the reply carries. Returns the status.
WSStatus UnpackSingleEntityReply(const ByteBuffer* reply, DirEntityPtr& entity);

// Status reply. With readAddress, a non-negative status is followed by a
// network address (1-byte length) that is stored in address.
WSStatus UnpackStatusReply(const ByteBuffer* reply, bool readAddress, SmartPtr<ByteBuffer>& address);
WSStatus UnpackStatusReply(const ByteBuffer* reply);

const uint32_t kMaxEmptyDataObjects = 256000;

// Reads one entity in the layout selected by flags. listLayout: the layout of
// the entity-list reply (directory fields are read for directories); otherwise
// that of the single-entity reply. Throws ReadBufferException when the bytes
// end early or the entity holds more data objects without type and data than
// emptyObjects, which it decreases (the first form allows kMaxEmptyDataObjects).
DirEntityPtr ReadDirEntity(ReadBuffer& rb, uint32_t flags, bool listLayout);
DirEntityPtr ReadDirEntity(ReadBuffer& rb, uint32_t flags, bool listLayout, uint32_t& emptyObjects);

} // namespace QORAPI

#endif
