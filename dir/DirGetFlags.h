// Get flags of the directory service: the bit mask a listing request sends to
// choose which fields the server returns for each entity.
//
// The reply echoes the mask in effect; the parsers read exactly the fields it
// selects.
//
// Thread safety: constants only.
#ifndef QORAPI_DIR_DIRGETFLAGS_H
#define QORAPI_DIR_DIRGETFLAGS_H

#include <cstdint>

namespace QORAPI {

enum DirGetFlag : uint32_t {
    DirGetFlag_Directories = 0x00000001,     // directories (as does 0x4)
    DirGetFlag_Services = 0x00000002,
    DirGetFlag_DirectoriesAlt = 0x00000004,  // directories (as does 0x1)
    DirGetFlag_Type = 0x00000010,            // the type byte of each entity
    DirGetFlag_DisplayName = 0x00000020,
    DirGetFlag_Value2 = 0x00000040,
    DirGetFlag_Value3 = 0x00000080,
    DirGetFlag_Value1 = 0x00000100,
    DirGetFlag_DataObjectTypes = 0x00000200,
    DirGetFlag_DataObjectData = 0x00000400,
    DirGetFlag_DataObjects = 0x00000800,
    DirGetFlag_Permissions = 0x00001000,
    DirGetFlag_Value4 = 0x00002000,
    DirGetFlag_DirPath = 0x00010000,
    DirGetFlag_DirName = 0x00020000,
    DirGetFlag_DirFlag = 0x00040000,
    DirGetFlag_ServicePath = 0x01000000,
    DirGetFlag_ServiceName = 0x02000000,
    DirGetFlag_ServiceNetAddr = 0x04000000,
};

// Both directory bits.
const uint32_t DirGetFlags_AnyDirectory = DirGetFlag_Directories | DirGetFlag_DirectoriesAlt;
// Default of a listing request: directories, services, type, display name,
// data objects, directory name, service name and network address.
const uint32_t DirGetFlags_Default = 0x06020837;
// Default of GetServiceOp: services, display name, data objects, service name
// and network address.
const uint32_t DirGetFlags_ServiceDefault = 0x06000822;
// Everything the entity layout can carry.
const uint32_t DirGetFlags_All = 0x07073FF7;

// Entity type characters.
const uint8_t DirEntityType_Unknown = 0;
const uint8_t DirEntityType_Directory = 'D';
const uint8_t DirEntityType_Service = 'S';

} // namespace QORAPI

#endif
