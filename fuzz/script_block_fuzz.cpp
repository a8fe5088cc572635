// Fuzz entry for the script block finder and the text encoder: any bytes,
// read in both comment styles, must give a code or a text end inside the
// file; a block written after a found text must be found again, with the
// same signature.
#include <cstddef>
#include <cstdint>

#include "authenticode/script/script_text.h"

namespace {

using namespace authenticode::script;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void CountBytes(const uint8_t*, size_t size, void* context) { *static_cast<size_t*>(context) += size; }

void Run(const uint8_t* data, size_t size, CommentStyle style) {
    bool utf16 = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    BlockLayout block;
    if (FindBlock(data, size, style, utf16, &block) != 0) return;
    Check(block.text_end <= size);
    Check(block.has_block || block.text_end == size);
    Encoding encoding;
    if (CheckEncoding(data, block.text_end, &encoding) != 0) return;
    size_t fed = 0;
    FeedUtf16(data, block.text_end, encoding, CountBytes, &fed);
    Check(encoding == Encoding::kUtf16Le ? fed == block.text_end : fed <= 2 * block.text_end);

    // Writing a block after the text and finding it again.
    Bytes signature(data, data + (size < 300 ? size : 300));
    Bytes again(data, data + block.text_end);
    Bytes tail = EncodeBlock(signature, style, encoding == Encoding::kUtf16Le);
    again.insert(again.end(), tail.begin(), tail.end());
    BlockLayout found;
    Check(FindBlock(again.data(), again.size(), style, utf16, &found) == 0);
    Check(found.has_block);
    // Text without a block of its own: the new block is the one found.
    if (!block.has_block) Check(found.text_end == block.text_end && found.signature == signature);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run(data, size, CommentStyle::kHash);
    Run(data, size, CommentStyle::kXml);
    return 0;
}
