// PowerShell-family scripts as text: which names are scripts, where an
// existing signature block sits, how the text is hashed, and the block to
// write. Pure functions over bytes (no files, no hashing library), shared
// with the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace authenticode::script {

typedef std::vector<uint8_t> Bytes;

// How a script type writes its comments around the block lines.
enum class CommentStyle { kNone, kHash, kXml };

// By extension (.ps1 .psm1 .psd1 with '#', .ps1xml .psc1 .cdxml with XML
// comments), letters in any case; kNone for anything else.
CommentStyle StyleForPath(std::string_view path);

// The text's encoding as its first bytes say.
enum class Encoding { kAscii, kUtf8Bom, kUtf16Le };

// Chooses the encoding of `text` (the script without its block) and checks
// that its digest does not depend on the reading machine: UTF-16LE with a
// BOM (even length), UTF-8 with a BOM (valid UTF-8), or no BOM and nothing
// above 0x7F. 0, or ERROR_NO_UNICODE_TRANSLATION.
int32_t CheckEncoding(const uint8_t* text, size_t size, Encoding* encoding);

// Where the script ends and its signature block begins.
struct BlockLayout {
    bool has_block = false;
    size_t text_end = 0;  // the script's own text is [0, text_end)
    Bytes signature;      // the block's base64 decoded (empty when undecodable)
};

// Finds the signature block: a line that starts with "<open>SIG # Begin
// signature block<close>"; the text ends at the line break before it. The
// block must be whole (base64 lines, then the end line) and be followed by
// nothing but line breaks and blanks: ERROR_INVALID_DATA otherwise, so that
// nothing after a block is ever cut off. A UTF-16LE file is read in 16-bit
// units.
int32_t FindBlock(const uint8_t* data, size_t size, CommentStyle style, bool utf16, BlockLayout* out);

// Feeds the UTF-16LE form of `text` (already checked with CheckEncoding) to
// `sink` in pieces: UTF-16LE text as it is, UTF-8 and ASCII re-encoded,
// the UTF-8 BOM becoming FF FE.
typedef void (*Utf16Sink)(const uint8_t* data, size_t size, void* context);
void FeedUtf16(const uint8_t* text, size_t size, Encoding encoding, Utf16Sink sink, void* context);

// The signature block for `der`: every line starts with CRLF, 64 base64
// characters a line, one CRLF after the end line; in UTF-16LE for a
// UTF-16LE script.
Bytes EncodeBlock(const Bytes& der, CommentStyle style, bool utf16);

}  // namespace authenticode::script
