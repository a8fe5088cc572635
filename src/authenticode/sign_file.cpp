// Putting the pieces together: the NSS key, the SignedData and the
// timestamp, written through the file's format, which calls back here once
// it knows the content to sign (for most formats an SpcIndirectDataContent
// over the file's digest).
#include "sign_file.h"

#include "format.h"
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

int32_t MakeSignature(const SignedContent& content, const Bytes& /*existing*/, Bytes* signature, void* context) {
    SignJob* job = static_cast<SignJob*>(context);
    SignedDataParts parts;
    parts.content_type = content.type;
    parts.content = content.der;
    parts.certificates = NssSignerChain(job->signer);
    if (!ReadIssuerAndSerial(parts.certificates.front(), &parts.signer)) return kBadSignatureFormat;
    parts.key = NssSignerKeyKind(job->signer);
    parts.signed_attributes = EncodeSignedAttributes(parts.content, job->request->attributes, parts.content_type);
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

int32_t AddTimestampToExisting(const SignedContent& /*content*/, const Bytes& existing, Bytes* signature,
                               void* context) {
    if (existing.empty()) return kNoSignature;
    const std::string* url = static_cast<const std::string*>(context);
    return AddTimestamp(*url, existing, signature);
}

}  // namespace

int32_t SignFile(const SignRequest& request) {
    const Format* format = nullptr;
    int32_t code = DetectFormat(request.path, &format);
    if (code != kOk) return code;
    // Kept for the process: the files of a run share key, login and chain.
    NssSigner* signer = nullptr;
    code = AcquireNssSigner(request.db_dir, request.certificate, request.include_root, &signer);
    if (code != kOk) return code;
    SignJob job{&request, signer};
    return format->rewrite(request.path, MakeSignature, &job);
}

int32_t TimestampFile(const std::string& path, const std::string& url) {
    const Format* format = nullptr;
    int32_t code = DetectFormat(path, &format);
    if (code != kOk) return code;
    std::string copy = url;
    return format->rewrite(path, AddTimestampToExisting, &copy);
}

}  // namespace authenticode
