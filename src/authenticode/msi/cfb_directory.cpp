// Checking a compound file's header and directory (see cfb_directory.h).
#include "authenticode/msi/cfb_directory.h"

#include <cstring>
#include <vector>

#include "authenticode/hresult.h"
#include "authenticode/little_endian.h"

namespace authenticode::msi {
namespace {

constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr size_t kEntrySize = 128;
constexpr uint32_t kMaxDepth = 64;

struct File {
    uint64_t size;
    ReadBytes read;
    void* context;
    uint32_t shift;
    uint64_t sectors;  // sectors that start inside the file

    // A sector, zero-filled past the end of the file.
    bool Sector(uint32_t index, std::vector<uint8_t>* out) const {
        if (index >= sectors) return false;
        uint64_t offset = (uint64_t{index} + 1) << shift;
        size_t sector_size = size_t{1} << shift;
        out->assign(sector_size, 0);
        uint64_t available = size - offset;
        size_t n = available < sector_size ? static_cast<size_t>(available) : sector_size;
        return read(offset, out->data(), n, context);
    }
};

struct Walk {
    const std::vector<uint8_t>* entries;
    uint32_t count;
    std::vector<uint8_t> seen;
    uint32_t depth = 0;
};

// Visits the tree of siblings under `first` (one storage's children).
bool WalkSiblings(Walk* walk, uint32_t first, uint32_t depth) {
    if (depth > kMaxDepth) return false;
    if (depth > walk->depth) walk->depth = depth;
    std::vector<uint32_t> stack;
    if (first != kNoStream) stack.push_back(first);
    while (!stack.empty()) {
        uint32_t i = stack.back();
        stack.pop_back();
        if (i >= walk->count || walk->seen[i]) return false;
        walk->seen[i] = 1;
        const uint8_t* e = walk->entries->data() + size_t{i} * kEntrySize;
        uint8_t type = e[0x42];
        if (type != 1 && type != 2) return false;
        for (uint32_t link : {Le32(e + 0x44), Le32(e + 0x48)}) {
            if (link != kNoStream) stack.push_back(link);
        }
        uint32_t child = Le32(e + 0x4C);
        if (type == 1) {
            if (!WalkSiblings(walk, child, depth + 1)) return false;
        } else if (child != kNoStream) {
            return false;
        }
    }
    return true;
}

bool CheckEntry(const uint8_t* e, uint64_t file_size, bool v3) {
    uint8_t type = e[0x42];
    if (type == 0) return true;
    if (type != 1 && type != 2 && type != 5) return false;
    uint16_t name_length = Le16(e + 0x40);
    if (name_length < 2 || name_length > 64 || name_length % 2 != 0) return false;
    if (Le16(e + name_length - 2) != 0) return false;
    uint64_t size = v3 ? Le32(e + 0x78) : (uint64_t{Le32(e + 0x7C)} << 32 | Le32(e + 0x78));
    if (type != 1 && size > file_size) return false;
    return true;
}

}  // namespace

bool LooksLikeCompoundFile(const uint8_t* head, size_t size) {
    return size >= sizeof kCfbMagic && std::memcmp(head, kCfbMagic, sizeof kCfbMagic) == 0;
}

int32_t ReadCfbDirectory(uint64_t file_size, ReadBytes read, void* context, CfbSummary* out) {
    *out = CfbSummary{};
    uint8_t h[512];
    if (file_size < sizeof h || !read(0, h, sizeof h, context)) {
        return file_size >= 8 && read(0, h, 8, context) && LooksLikeCompoundFile(h, 8) ? kBadPackage
                                                                                      : kSubjectFormUnknown;
    }
    if (!LooksLikeCompoundFile(h, sizeof h)) return kSubjectFormUnknown;
    uint16_t major = Le16(h + 0x1A);
    uint16_t shift = Le16(h + 0x1E);
    if (Le16(h + 0x1C) != 0xFFFE || Le16(h + 0x20) != 6) return kBadPackage;
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return kBadPackage;
    bool v3 = major == 3;
    if (v3 && Le32(h + 0x28) != 0) return kBadPackage;
    if (Le32(h + 0x38) != 4096) return kBadPackage;

    File file{file_size, read, context, shift, 0};
    uint64_t sector_size = uint64_t{1} << shift;
    if (file_size <= sector_size) return kBadPackage;
    file.sectors = (file_size - sector_size + sector_size - 1) / sector_size;
    out->sector_size = static_cast<uint32_t>(sector_size);

    // The FAT's own sectors: 109 in the header, the rest in the DIFAT chain.
    uint32_t fat_count = Le32(h + 0x2C);
    if (fat_count == 0 || fat_count > file.sectors) return kBadPackage;
    std::vector<uint32_t> fat_sectors;
    for (uint32_t i = 0; i < 109 && fat_sectors.size() < fat_count; ++i) fat_sectors.push_back(Le32(h + 0x4C + 4 * i));
    uint32_t difat = Le32(h + 0x44);
    uint32_t difat_count = Le32(h + 0x48);
    std::vector<uint8_t> sector;
    for (uint32_t n = 0; fat_sectors.size() < fat_count; ++n) {
        if (n >= difat_count || n >= file.sectors || !file.Sector(difat, &sector)) return kBadPackage;
        size_t per = sector.size() / 4 - 1;
        for (size_t i = 0; i < per && fat_sectors.size() < fat_count; ++i) fat_sectors.push_back(Le32(&sector[4 * i]));
        difat = Le32(&sector[4 * per]);
    }
    std::vector<uint32_t> fat;
    fat.reserve(fat_sectors.size() * (sector_size / 4));
    for (uint32_t s : fat_sectors) {
        if (!file.Sector(s, &sector)) return kBadPackage;
        for (size_t i = 0; i < sector.size(); i += 4) fat.push_back(Le32(&sector[i]));
    }

    // The directory chain, each sector once.
    std::vector<uint8_t> entries;
    std::vector<uint8_t> visited(fat.size(), 0);
    for (uint32_t s = Le32(h + 0x30); s != kEndOfChain;) {
        if (s > kMaxRegularSector || s >= fat.size() || visited[s]) return kBadPackage;
        visited[s] = 1;
        if (!file.Sector(s, &sector)) return kBadPackage;
        entries.insert(entries.end(), sector.begin(), sector.end());
        s = fat[s];
    }
    uint32_t count = static_cast<uint32_t>(entries.size() / kEntrySize);
    if (count == 0) return kBadPackage;
    for (uint32_t i = 0; i < count; ++i) {
        if (!CheckEntry(entries.data() + size_t{i} * kEntrySize, file_size, v3)) return kBadPackage;
    }
    const uint8_t* root = entries.data();
    if (root[0x42] != 5) return kBadPackage;
    Walk walk{&entries, count, std::vector<uint8_t>(count, 0)};
    walk.seen[0] = 1;
    if (!WalkSiblings(&walk, Le32(root + 0x4C), 0)) return kBadPackage;
    for (uint32_t i = 1; i < count; ++i) {
        // An entry in use must hang in the tree.
        if (entries[size_t{i} * kEntrySize + 0x42] != 0 && !walk.seen[i]) return kBadPackage;
        if (walk.seen[i]) ++out->entry_count;
    }
    std::memcpy(out->root_class_id, root + 0x50, 16);
    out->storage_depth = walk.depth;
    return kOk;
}

}  // namespace authenticode::msi
