// Checks the signing library's request records and turns them into the
// engine's terms. Every record, size, choice and pointer is checked; what
// this library does not support is E_INVALIDARG.
#pragma once

#include <string>

#include "authenticode/sign_file.h"
#include "platform/platform.h"

namespace mssign32 {

// The file named by a SIGNER_SUBJECT_INFO, as a POSIX path ('\' is a
// directory separator here, as on Windows).
int32_t ReadSubject(const qm::SIGNER_SUBJECT_INFO* subject, std::string* path);

// The certificate's DER and the chain policy of a SIGNER_CERT.
int32_t ReadSignerCert(const qm::SIGNER_CERT* cert, authenticode::Bytes* der, bool* include_root);

// The digest algorithm (SHA-256 only) and the Authenticode attributes.
int32_t ReadSignatureInfo(const qm::SIGNER_SIGNATURE_INFO* info, authenticode::AttributeChoice* out);

// The timestamp arguments of SignerSignEx2: with a URL, RFC 3161 and the
// SHA-256 object identifier; without one, no identifier either.
int32_t ReadTimestampArgs(qm::DWORD flags, qm::LPCSTR algorithm_oid, qm::LPCWSTR url, bool* timestamp,
                          std::string* url_bytes);

}  // namespace mssign32
