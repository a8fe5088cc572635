// PE images behind the format interface: the PE rewrite computes the image
// digest, and the content it signs is SpcIndirectDataContent with
// SpcPeImageData.
#include "authenticode/pe/pe_sign.h"
#include "format.h"
#include "spc.h"

namespace authenticode {
namespace {

struct PeJob {
    ContentSigner signer;
    void* context;
};

int32_t SignPeDigest(const uint8_t digest[32], const std::vector<uint8_t>& existing, std::vector<uint8_t>* signature,
                     void* context) {
    PeJob* job = static_cast<PeJob*>(context);
    SignedContent content{oid::kSpcIndirectData, EncodePeIndirectData(digest)};
    return job->signer(content, existing, signature, job->context);
}

bool ClaimsPe(const FileHead& head) { return head.size >= 2 && head.data[0] == 'M' && head.data[1] == 'Z'; }

int32_t RewritePe(const std::string& path, ContentSigner signer, void* context) {
    PeJob job{signer, context};
    return RewritePeSignature(path, SignPeDigest, &job);
}

}  // namespace

const Format kPeFormat = {"PE image", ClaimsPe, RewritePe};

}  // namespace authenticode
