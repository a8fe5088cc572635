// The signing request records exactly as the program fills them, shared by
// the tests that hand records to the signing library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fixture {

typedef std::vector<uint8_t> Bytes;

// The request records, filled field by field as the program does.
struct Records {
    std::u16string path;
    qm::DWORD index = 0;
    Bytes cert_der;
    qm::CERT_CONTEXT context{};
    qm::SIGNER_FILE_INFO file{};
    qm::SIGNER_SUBJECT_INFO subject{};
    qm::SIGNER_CERT_STORE_INFO store{};
    qm::SIGNER_CERT cert{};
    qm::SIGNER_ATTR_AUTHCODE authcode{};
    qm::SIGNER_SIGNATURE_INFO signature{};
};
void FillRecords(const std::string& path, const Bytes& cert_der, Records* r);

}  // namespace fixture
