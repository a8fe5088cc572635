// The one interface every signable file format offers the engine: it claims
// a file by its first bytes (or, for scripts, its name), and rewrites it in
// one go: check the file, read its current signature, compute its digest,
// ask for a signature over the content that describes it, embed that
// signature and replace the file. The PKCS#7, key and timestamp code is the
// caller's, shared by all formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "der.h"

namespace authenticode {

// What a signature over a file covers: the eContentType and the DER of the
// content (an SpcIndirectDataContent, or a catalog's own list).
struct SignedContent {
    std::string_view type;
    Bytes der;
};

// Makes the new PKCS#7 SignedData (DER) for `content`. `existing` is the
// file's current signature (empty when it has none). Returns 0 or an
// HRESULT, which the format's rewrite returns as is, leaving the file alone.
typedef int32_t (*ContentSigner)(const SignedContent& content, const Bytes& existing, Bytes* signature,
                                 void* context);

// The start of a file, for the formats to claim it.
struct FileHead {
    const uint8_t* data = nullptr;
    size_t size = 0;        // bytes in `data` (the whole file when it is short)
    uint64_t file_size = 0;
    std::string_view path;  // as the caller named it
};

struct Format {
    const char* name;
    // True when the file is of this format (it may still be broken).
    bool (*claims)(const FileHead& head);
    // Signs, re-signs or (through `signer`) timestamps the file at `path`;
    // on any failure the file is byte for byte as it was.
    int32_t (*rewrite)(const std::string& path, ContentSigner signer, void* context);
};

// Bytes DetectFormat reads for the claims.
constexpr size_t kFileHeadSize = 4096;

// The format of the file at `path`: by content first (PE, Windows Installer
// package, cabinet, catalog), then by the script extensions. 0x800B0003 when
// no format claims it; file errors as their codes.
int32_t DetectFormat(const std::string& path, const Format** format);

// The formats, each defined beside its code.
extern const Format kPeFormat;
extern const Format kMsiFormat;
extern const Format kCabFormat;
extern const Format kCatalogFormat;
extern const Format kScriptFormat;

}  // namespace authenticode
