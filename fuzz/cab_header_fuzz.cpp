// Fuzz entry for the cabinet header reader: any bytes, as a whole file and
// as the head of a longer one, give a code or a layout whose offsets stay
// inside the file.
#include <cstddef>
#include <cstdint>

#include "authenticode/cab/cab_header.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void Run(const uint8_t* data, size_t size, uint64_t file_size) {
    authenticode::cab::CabLayout layout;
    if (authenticode::cab::ParseCabHeader(data, size, file_size, &layout) != 0) return;
    Check(layout.folders_end <= size && layout.folders_end <= file_size);
    Check(layout.files_offset == layout.folders_end);
    Check(layout.files_offset < layout.cabinet_size && layout.cabinet_size <= file_size);
    Check(uint64_t{layout.cabinet_size} + layout.signature_size == file_size);
    Check(layout.folder_count > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run(data, size, size);
    Run(data, size, uint64_t{size} + 100);
    Run(data, size / 2, size);
    return 0;
}
