// PowerShell-family scripts behind the format interface: the digest is over
// the script's text as UTF-16LE, the signature goes into a comment block at
// the end, replacing the block that was there.
#include "authenticode/format.h"
#include "authenticode/hresult.h"
#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/script/script_text.h"
#include "authenticode/sha256_stream.h"
#include "authenticode/spc.h"

namespace authenticode {
namespace {

// Scripts are read whole; past this size something is wrong.
constexpr uint64_t kMaxScriptSize = 256u << 20;

// The PowerShell subject interface package {603BCC1F-4B59-4E08-B724-D2C6297EF351}.
constexpr uint8_t kPowerShellSip[16] = {0x1f, 0xcc, 0x3b, 0x60, 0x59, 0x4b, 0x08, 0x4e,
                                        0xb7, 0x24, 0xd2, 0xc6, 0x29, 0x7e, 0xf3, 0x51};
constexpr uint32_t kPowerShellSipVersion = 0x10000;

bool ClaimsScript(const FileHead& head) {
    return script::StyleForPath(head.path) != script::CommentStyle::kNone;
}

void HashPiece(const uint8_t* data, size_t size, void* context) {
    static_cast<Sha256Stream*>(context)->Update(data, size);
}

int32_t RewriteScript(const std::string& path, ContentSigner signer, void* context) {
    script::CommentStyle style = script::StyleForPath(path);
    if (style == script::CommentStyle::kNone) return kSubjectFormUnknown;
    pe::SourceFile source;
    int32_t hr = pe::OpenFileToReplace(path, &source);
    if (hr != kOk) return hr;
    Bytes data;
    hr = pe::ReadWholeFile(source, kMaxScriptSize, &data);
    if (hr != kOk) return hr;

    bool utf16 = data.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    script::BlockLayout block;
    hr = script::FindBlock(data.data(), data.size(), style, utf16, &block);
    if (hr != kOk) return hr;
    // Nothing to sign, and a block at the very start is one the verifiers
    // do not find.
    if (block.text_end == 0) return kInvalidData;
    script::Encoding encoding;
    hr = script::CheckEncoding(data.data(), block.text_end, &encoding);
    if (hr != kOk) return hr;

    Sha256Stream sha;
    script::FeedUtf16(data.data(), block.text_end, encoding, HashPiece, &sha);
    uint8_t digest[32];
    if (!sha.Final(digest)) return kFail;

    SignedContent content{oid::kSpcIndirectData,
                          EncodeIndirectData(EncodeSipInfoData(kPowerShellSipVersion, kPowerShellSip), digest)};
    // A block whose base64 does not decode still counts as a signature, an
    // unreadable one: re-signing replaces it, timestamping refuses it.
    Bytes existing = block.signature;
    if (block.has_block && existing.empty()) existing.push_back(0);
    Bytes signature;
    hr = signer(content, existing, &signature, context);
    if (hr != kOk) return hr;

    pe::TempFile temp;
    hr = temp.Create(source.target);
    if (hr != kOk) return hr;
    hr = pe::WriteAt(temp.fd(), 0, data.data(), block.text_end);
    if (hr != kOk) return hr;
    Bytes tail = script::EncodeBlock(signature, style, encoding == script::Encoding::kUtf16Le);
    hr = pe::WriteAt(temp.fd(), block.text_end, tail.data(), tail.size());
    if (hr != kOk) return hr;
    return temp.CommitOver(source);
}

}  // namespace

const Format kScriptFormat = {"PowerShell script", ClaimsScript, RewriteScript};

}  // namespace authenticode
