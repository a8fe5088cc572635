// Putting the pieces together: the NSS key, the Authenticode content, the
// SignedData and the timestamp, written through the PE rewrite, which calls
// back here once it knows the image digest.
#include "sign_file.h"

#include "authenticode/pe/pe_sign.h"
#include "hresult.h"
#include "nss_key.h"
#include "spc.h"
#include "timestamp.h"

namespace authenticode {

namespace {

struct SignJob {
    const SignRequest* request;
    NssSigner* signer;
};

int32_t MakeSignature(const uint8_t digest[32], const std::vector<uint8_t>& /*existing*/,
                      std::vector<uint8_t>* signature, void* context) {
    SignJob* job = static_cast<SignJob*>(context);
    SignedDataParts parts;
    parts.content = EncodePeIndirectData(digest);
    parts.certificates = NssSignerChain(job->signer);
    if (!ReadIssuerAndSerial(parts.certificates.front(), &parts.signer)) return kBadSignatureFormat;
    parts.key = NssSignerKeyKind(job->signer);
    parts.signed_attributes = EncodeSignedAttributes(parts.content, job->request->attributes);
    // The signature covers the attributes as a DER SET OF.
    Bytes attributes_digest = Sha256(parts.signed_attributes.data(), parts.signed_attributes.size());
    int32_t code = NssSignDigest(job->signer, attributes_digest.data(), &parts.signature);
    if (code != kOk) return code;
    Bytes pkcs7 = AssembleSignedData(parts);
    if (!job->request->timestamp) {
        *signature = std::move(pkcs7);
        return kOk;
    }
    return AddTimestamp(job->request->timestamp_url, pkcs7, signature);
}

int32_t AddTimestampToExisting(const uint8_t* /*digest*/, const std::vector<uint8_t>& existing,
                               std::vector<uint8_t>* signature, void* context) {
    if (existing.empty()) return kNoSignature;
    const std::string* url = static_cast<const std::string*>(context);
    return AddTimestamp(*url, existing, signature);
}

}  // namespace

int32_t SignPeFile(const SignRequest& request) {
    int32_t code = ProbePeFile(request.path);
    if (code != kOk) return code;
    // Kept for the process: the files of a run share key, login and chain.
    NssSigner* signer = nullptr;
    code = AcquireNssSigner(request.db_dir, request.certificate, request.include_root, &signer);
    if (code != kOk) return code;
    SignJob job{&request, signer};
    return RewritePeSignature(request.path, MakeSignature, &job);
}

int32_t TimestampPeFile(const std::string& path, const std::string& url) {
    int32_t code = ProbePeFile(path);
    if (code != kOk) return code;
    std::string copy = url;
    return RewritePeSignature(path, AddTimestampToExisting, &copy);
}

}  // namespace authenticode
