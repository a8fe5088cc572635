// Fuzz entry for the compound-file directory reader: any bytes as a whole
// file give a code or a summary that fits the file, and never a read
// outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "authenticode/msi/cfb_directory.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

struct Buffer {
    const uint8_t* data;
    size_t size;
};

bool Read(uint64_t offset, uint8_t* out, size_t size, void* context) {
    const Buffer* b = static_cast<const Buffer*>(context);
    if (offset > b->size || b->size - offset < size) return false;
    std::memcpy(out, b->data + offset, size);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Buffer buffer{data, size};
    authenticode::msi::CfbSummary summary;
    if (authenticode::msi::ReadCfbDirectory(size, Read, &buffer, &summary) != 0) return 0;
    Check(summary.sector_size == 512 || summary.sector_size == 4096);
    Check(size > summary.sector_size);
    Check(uint64_t{summary.entry_count} * 128 < size);
    return 0;
}
