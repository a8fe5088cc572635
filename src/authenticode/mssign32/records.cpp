// Validation of the SIGNER_* records handed to the signing entry points.
#include "records.h"

#include <cstring>

#include "authenticode/hresult.h"
#include "platform/posix/text_posix.h"

namespace mssign32 {

using authenticode::kInvalidArg;
using authenticode::kOk;

namespace {

constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";

}  // namespace

int32_t ReadSubject(const qm::SIGNER_SUBJECT_INFO* subject, std::string* path) {
    if (subject == nullptr || subject->cbSize != qm::kSignerSubjectInfoSize) return kInvalidArg;
    // Only the first (and only) signature of a file can be written.
    if (subject->pdwIndex != nullptr && *subject->pdwIndex != 0) return kInvalidArg;
    if (subject->dwSubjectChoice != qm::SIGNER_SUBJECT_FILE) return kInvalidArg;
    const qm::SIGNER_FILE_INFO* file = subject->pSignerFileInfo;
    if (file == nullptr || file->cbSize != qm::kSignerFileInfoSize) return kInvalidArg;
    // Files are opened by name; an open handle cannot be used here.
    if (file->hFile != nullptr && file->hFile != qm::INVALID_HANDLE_VALUE) return kInvalidArg;
    if (file->pwszFileName == nullptr || file->pwszFileName[0] == 0) return kInvalidArg;
    *path = qm::BytesFromWide(file->pwszFileName);
    for (char& c : *path) {
        if (c == '\\') c = '/';
    }
    return kOk;
}

int32_t ReadSignerCert(const qm::SIGNER_CERT* cert, authenticode::Bytes* der, bool* include_root) {
    if (cert == nullptr || cert->cbSize != qm::kSignerCertSize) return kInvalidArg;
    if (cert->dwCertChoice != qm::SIGNER_CERT_STORE) return kInvalidArg;
    const qm::SIGNER_CERT_STORE_INFO* store = cert->pCertStoreInfo;
    if (store == nullptr || store->cbSize != qm::kSignerCertStoreInfoSize) return kInvalidArg;
    if (store->dwCertPolicy == qm::SIGNER_CERT_POLICY_CHAIN_NO_ROOT) {
        *include_root = false;
    } else if (store->dwCertPolicy == qm::SIGNER_CERT_POLICY_CHAIN) {
        *include_root = true;
    } else {
        return kInvalidArg;
    }
    const qm::CERT_CONTEXT* context = store->pSigningCert;
    if (context == nullptr || context->pbCertEncoded == nullptr || context->cbCertEncoded == 0) return kInvalidArg;
    der->assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    return kOk;
}

int32_t ReadSignatureInfo(const qm::SIGNER_SIGNATURE_INFO* info, authenticode::AttributeChoice* out) {
    if (info == nullptr || info->cbSize != qm::kSignerSignatureInfoSize) return kInvalidArg;
    if (info->algidHash != qm::CALG_SHA_256) return kInvalidArg;
    if (info->psAuthenticated != nullptr || info->psUnauthenticated != nullptr) return kInvalidArg;
    *out = authenticode::AttributeChoice{};
    if (info->dwAttrChoice == qm::SIGNER_NO_ATTR) {
        out->authenticode = false;
        return kOk;
    }
    if (info->dwAttrChoice != qm::SIGNER_AUTHCODE_ATTR) return kInvalidArg;
    const qm::SIGNER_ATTR_AUTHCODE* attr = info->pAttrAuthcode;
    if (attr == nullptr || attr->cbSize != qm::kSignerAttrAuthcodeSize) return kInvalidArg;
    // One purpose only; neither flag set means the individual purpose.
    if (attr->fCommercial && attr->fIndividual) return kInvalidArg;
    out->commercial = attr->fCommercial != 0;
    if (attr->pwszName != nullptr) {
        out->opus.has_name = true;
        out->opus.name = attr->pwszName;
    }
    if (attr->pwszInfo != nullptr) {
        std::string url = qm::BytesFromWide(attr->pwszInfo);
        for (char c : url) {
            if (static_cast<unsigned char>(c) > 0x7F) return kInvalidArg;  // an IA5String
        }
        out->opus.has_url = true;
        out->opus.url = url;
    }
    return kOk;
}

int32_t ReadTimestampArgs(qm::DWORD flags, qm::LPCSTR algorithm_oid, qm::LPCWSTR url, bool* timestamp,
                          std::string* url_bytes) {
    if (url == nullptr) {
        if (algorithm_oid != nullptr) return kInvalidArg;
        if (flags != 0 && flags != qm::SIGNER_TIMESTAMP_RFC3161) return kInvalidArg;
        *timestamp = false;
        return kOk;
    }
    if (flags != qm::SIGNER_TIMESTAMP_RFC3161) return kInvalidArg;
    if (algorithm_oid == nullptr || std::strcmp(algorithm_oid, kSha256Oid) != 0) return kInvalidArg;
    *timestamp = true;
    *url_bytes = qm::BytesFromWide(url);
    return kOk;
}

}  // namespace mssign32
