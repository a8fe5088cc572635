// The records as the program fills them (see program_records.h).
#include "program_records.h"

namespace fixture {

void FillRecords(const std::string& path, const Bytes& cert_der, Records* r) {
    r->path.assign(path.begin(), path.end());
    r->cert_der = cert_der;
    r->index = 0;
    r->context.dwCertEncodingType = qm::X509_ASN_ENCODING | qm::PKCS_7_ASN_ENCODING;
    r->context.pbCertEncoded = r->cert_der.data();
    r->context.cbCertEncoded = static_cast<qm::DWORD>(r->cert_der.size());
    r->file.cbSize = qm::kSignerFileInfoSize;
    r->file.pwszFileName = r->path.c_str();
    r->file.hFile = nullptr;
    r->subject.cbSize = qm::kSignerSubjectInfoSize;
    r->subject.pdwIndex = &r->index;
    r->subject.dwSubjectChoice = qm::SIGNER_SUBJECT_FILE;
    r->subject.pSignerFileInfo = &r->file;
    r->store.cbSize = qm::kSignerCertStoreInfoSize;
    r->store.pSigningCert = &r->context;
    r->store.dwCertPolicy = qm::SIGNER_CERT_POLICY_CHAIN_NO_ROOT;
    r->store.hCertStore = nullptr;
    r->cert.cbSize = qm::kSignerCertSize;
    r->cert.dwCertChoice = qm::SIGNER_CERT_STORE;
    r->cert.pCertStoreInfo = &r->store;
    r->cert.hwnd = nullptr;
    r->authcode.cbSize = qm::kSignerAttrAuthcodeSize;
    r->authcode.fCommercial = 0;
    r->authcode.fIndividual = 1;
    r->authcode.pwszName = nullptr;
    r->authcode.pwszInfo = nullptr;
    r->signature.cbSize = qm::kSignerSignatureInfoSize;
    r->signature.algidHash = qm::CALG_SHA_256;
    r->signature.dwAttrChoice = qm::SIGNER_AUTHCODE_ATTR;
    r->signature.pAttrAuthcode = &r->authcode;
    r->signature.psAuthenticated = nullptr;
    r->signature.psUnauthenticated = nullptr;
}

}  // namespace fixture
