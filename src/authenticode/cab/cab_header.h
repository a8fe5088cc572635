// The cabinet header as the signer needs it: checks the CFHEADER and the
// CFFOLDER table, and says where the signature reserve and the signature
// are. Pure functions over bytes, shared with the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode::cab {

constexpr size_t kFixedHeader = 36;     // CFHEADER without the optional fields
constexpr size_t kReserveFields = 4;    // cbCFHeader, cbCFFolder, cbCFData
constexpr size_t kSignatureReserve = 20;  // abReserve of a signed cabinet
constexpr size_t kInserted = kReserveFields + kSignatureReserve;
constexpr size_t kFolderSize = 8;
// The longest header and folder table a cabinet we sign can have.
constexpr size_t kMaxHeadBytes = kFixedHeader + kInserted + 65535 * kFolderSize;

constexpr uint16_t kFlagPrevCabinet = 0x0001;
constexpr uint16_t kFlagNextCabinet = 0x0002;
constexpr uint16_t kFlagReservePresent = 0x0004;

struct CabLayout {
    uint32_t cabinet_size = 0;  // cbCabinet: the cabinet without its signature
    uint32_t files_offset = 0;  // coffFiles
    uint16_t folder_count = 0;
    uint16_t flags = 0;
    bool has_reserve = false;   // the signature reserve is there
    uint32_t signature_offset = 0;
    uint32_t signature_size = 0;  // 0: no signature yet
    size_t folders_offset = 0;  // the CFFOLDER table
    size_t folders_end = 0;     // == files_offset
};

// True for "MSCF" at the start: the file says it is a cabinet.
bool LooksLikeCabinet(const uint8_t* head, size_t size);

// Checks the header and folder table in `head` (the first `size` bytes of a
// file of `file_size` bytes). 0; ERROR_NOT_SUPPORTED for a cabinet of a
// set or one with a reserve other than the signature's; ERROR_BAD_FORMAT for
// a broken one; 0x800B0003 when it is not a cabinet at all.
int32_t ParseCabHeader(const uint8_t* head, size_t size, uint64_t file_size, CabLayout* out);

}  // namespace authenticode::cab
