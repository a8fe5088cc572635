// Reading the cabinet header (see cab_header.h).
#include "authenticode/cab/cab_header.h"

#include "authenticode/hresult.h"
#include "authenticode/little_endian.h"

namespace authenticode::cab {

bool LooksLikeCabinet(const uint8_t* head, size_t size) {
    return size >= 4 && head[0] == 'M' && head[1] == 'S' && head[2] == 'C' && head[3] == 'F';
}

int32_t ParseCabHeader(const uint8_t* head, size_t size, uint64_t file_size, CabLayout* out) {
    *out = CabLayout{};
    if (size > file_size) size = static_cast<size_t>(file_size);
    if (!LooksLikeCabinet(head, size)) return kSubjectFormUnknown;
    if (size < kFixedHeader) return kBadFormat;
    // reserved1 must be 0 and the version 1.3.
    if (Le32(head + 4) != 0 || head[24] != 3 || head[25] != 1) return kBadFormat;
    out->cabinet_size = Le32(head + 8);
    out->files_offset = Le32(head + 16);
    out->folder_count = Le16(head + 26);
    out->flags = Le16(head + 30);
    if (out->flags & (kFlagPrevCabinet | kFlagNextCabinet)) return kNotSupported;
    if (out->flags & ~(kFlagPrevCabinet | kFlagNextCabinet | kFlagReservePresent)) return kBadFormat;

    out->folders_offset = kFixedHeader;
    if (out->flags & kFlagReservePresent) {
        if (size < kFixedHeader + kInserted) return kBadFormat;
        // Only the signature's own reserve: cbCFHeader 20, no folder or data
        // reserve, and the signature structure's tag.
        if (Le16(head + 36) != kSignatureReserve || head[38] != 0 || head[39] != 0) return kNotSupported;
        if (Le32(head + 40) != 0x00100000) return kNotSupported;
        out->has_reserve = true;
        out->signature_offset = Le32(head + 44);
        out->signature_size = Le32(head + 48);
        out->folders_offset = kFixedHeader + kInserted;
    }
    if (out->folder_count == 0) return kBadFormat;
    out->folders_end = out->folders_offset + size_t{out->folder_count} * kFolderSize;
    if (out->folders_end > size) return kBadFormat;
    if (out->files_offset != out->folders_end) return kBadFormat;
    if (out->files_offset >= out->cabinet_size) return kBadFormat;

    if (out->signature_size != 0) {
        if (out->signature_offset != out->cabinet_size) return kBadFormat;
        if (uint64_t{out->cabinet_size} + out->signature_size != file_size) return kBadFormat;
    } else {
        if (out->signature_offset != 0 && out->signature_offset != out->cabinet_size) return kBadFormat;
        if (out->cabinet_size != file_size) return kBadFormat;
    }
    for (size_t i = 0; i < out->folder_count; ++i) {
        uint32_t start = Le32(head + out->folders_offset + i * kFolderSize);
        if (start < out->files_offset || start > out->cabinet_size) return kBadFormat;
    }
    return kOk;
}

}  // namespace authenticode::cab
