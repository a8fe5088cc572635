// The compound-file header and directory of a Windows Installer package,
// checked before the package is read for signing: the header fields, the
// FAT reached through the DIFAT, the directory chain and the entry tree
// (every link in range, no loops, no entry reached twice). Pure code over a
// read callback, shared with the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode::msi {

constexpr uint8_t kCfbMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The root class id of an installer package {000C1084-0000-0000-C000-000000000046}.
constexpr uint8_t kMsiClassId[16] = {0x84, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

bool LooksLikeCompoundFile(const uint8_t* head, size_t size);

// Reads `size` bytes at `offset` of the file; false when they are not there.
typedef bool (*ReadBytes)(uint64_t offset, uint8_t* out, size_t size, void* context);

struct CfbSummary {
    uint32_t sector_size = 0;  // 512 or 4096
    uint8_t root_class_id[16] = {};
    uint32_t entry_count = 0;  // directory entries in use
    uint32_t storage_depth = 0;  // deepest storage nesting below the root
};

// 0, 0x800B0003 when the file is no compound file, or
// ERROR_INSTALL_PACKAGE_INVALID for a broken one.
int32_t ReadCfbDirectory(uint64_t file_size, ReadBytes read, void* context, CfbSummary* out);

}  // namespace authenticode::msi
