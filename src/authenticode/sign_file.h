// The engine's tasks on a file of any format it knows (PE image, script,
// Windows Installer package, cabinet, catalog): sign it (and timestamp the
// new signature), or timestamp the signature it already has. Each writes the
// file once, or leaves it exactly as it was.
#pragma once

#include <string>

#include "der.h"
#include "signed_data.h"

namespace authenticode {

struct SignRequest {
    std::string path;          // bytes as the file system takes them
    std::string db_dir;        // the NSS database holding certificate and key
    Bytes certificate;         // DER of the signing certificate
    bool include_root = false;
    AttributeChoice attributes;
    bool timestamp = false;
    std::string timestamp_url;
};

int32_t SignFile(const SignRequest& request);

// Adds (or replaces) the RFC 3161 timestamp of the file's signature;
// TRUST_E_NOSIGNATURE when the file is not signed.
int32_t TimestampFile(const std::string& path, const std::string& url);

}  // namespace authenticode
