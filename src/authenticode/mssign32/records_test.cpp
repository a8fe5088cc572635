// The record checks: the program's records pass, and each field outside
// what the library supports is E_INVALIDARG.
#include "records.h"

#include <gtest/gtest.h>

#include <functional>

#include "authenticode/hresult.h"
#include "program_records.h"

namespace mssign32 {
namespace {

using authenticode::kInvalidArg;
using authenticode::kOk;

// The records exactly as the program fills them.
struct Records : fixture::Records {
    Records() { fixture::FillRecords("dir\\sub\\app.exe", {0x30, 0x01, 0x00}, this); }
    int32_t CheckAll() {
        std::string path;
        authenticode::Bytes der;
        bool root = false;
        authenticode::AttributeChoice choice;
        int32_t code = ReadSubject(&subject, &path);
        if (code == kOk) code = ReadSignerCert(&cert, &der, &root);
        if (code == kOk) code = ReadSignatureInfo(&signature, &choice);
        return code;
    }
};

TEST(Records, TheProgramsRecordsAreAccepted) {
    Records r;
    std::string path;
    ASSERT_EQ(ReadSubject(&r.subject, &path), kOk);
    EXPECT_EQ(path, "dir/sub/app.exe");
    authenticode::Bytes der;
    bool root = true;
    ASSERT_EQ(ReadSignerCert(&r.cert, &der, &root), kOk);
    EXPECT_EQ(der, (authenticode::Bytes{0x30, 0x01, 0x00}));
    EXPECT_FALSE(root);
    authenticode::AttributeChoice choice;
    ASSERT_EQ(ReadSignatureInfo(&r.signature, &choice), kOk);
    EXPECT_TRUE(choice.authenticode);
    EXPECT_FALSE(choice.commercial);
    EXPECT_FALSE(choice.opus.has_name);
    EXPECT_FALSE(choice.opus.has_url);
}

TEST(Records, UnsupportedFieldsAreInvalidArg) {
    const std::vector<std::pair<const char*, std::function<void(Records&)>>> cases = {
        {"subject size", [](Records& r) { r.subject.cbSize = 20; }},
        {"subject index", [](Records& r) { r.index = 1; }},
        {"subject blob", [](Records& r) { r.subject.dwSubjectChoice = qm::SIGNER_SUBJECT_BLOB; }},
        {"no file info", [](Records& r) { r.subject.pSignerFileInfo = nullptr; }},
        {"file size", [](Records& r) { r.file.cbSize = 16; }},
        {"file handle", [](Records& r) { r.file.hFile = &r.index; }},
        {"no file name", [](Records& r) { r.file.pwszFileName = nullptr; }},
        {"empty file name", [](Records& r) { r.file.pwszFileName = u""; }},
        {"cert size", [](Records& r) { r.cert.cbSize = 12; }},
        {"spc file", [](Records& r) { r.cert.dwCertChoice = qm::SIGNER_CERT_SPC_FILE; }},
        {"no store info", [](Records& r) { r.cert.pCertStoreInfo = nullptr; }},
        {"store size", [](Records& r) { r.store.cbSize = 20; }},
        {"policy store", [](Records& r) { r.store.dwCertPolicy = qm::SIGNER_CERT_POLICY_STORE; }},
        {"policy mixed", [](Records& r) { r.store.dwCertPolicy = 10; }},
        {"no certificate", [](Records& r) { r.store.pSigningCert = nullptr; }},
        {"no cert bytes", [](Records& r) { r.context.pbCertEncoded = nullptr; }},
        {"zero cert bytes", [](Records& r) { r.context.cbCertEncoded = 0; }},
        {"signature size", [](Records& r) { r.signature.cbSize = 28; }},
        {"sha1", [](Records& r) { r.signature.algidHash = 0x8004; }},
        {"attr choice", [](Records& r) { r.signature.dwAttrChoice = 2; }},
        {"no authcode", [](Records& r) { r.signature.pAttrAuthcode = nullptr; }},
        {"authcode size", [](Records& r) { r.authcode.cbSize = 24; }},
        {"both purposes", [](Records& r) { r.authcode.fCommercial = 1; }},
        {"non-ascii info", [](Records& r) { r.authcode.pwszInfo = u"http://\u00e9.test/"; }},
        {"authenticated attrs",
         [](Records& r) { r.signature.psAuthenticated = reinterpret_cast<qm::CRYPT_ATTRIBUTES*>(&r.index); }},
        {"unauthenticated attrs",
         [](Records& r) { r.signature.psUnauthenticated = reinterpret_cast<qm::CRYPT_ATTRIBUTES*>(&r.index); }},
    };
    for (const auto& [name, change] : cases) {
        Records r;
        change(r);
        EXPECT_EQ(r.CheckAll(), kInvalidArg) << name;
    }
    std::string path;
    EXPECT_EQ(ReadSubject(nullptr, &path), kInvalidArg);
}

TEST(Records, AcceptedVariants) {
    const std::vector<std::pair<const char*, std::function<void(Records&)>>> cases = {
        {"no index", [](Records& r) { r.subject.pdwIndex = nullptr; }},
        {"invalid handle value", [](Records& r) { r.file.hFile = qm::INVALID_HANDLE_VALUE; }},
        {"whole chain", [](Records& r) { r.store.dwCertPolicy = qm::SIGNER_CERT_POLICY_CHAIN; }},
        {"no attributes", [](Records& r) { r.signature.dwAttrChoice = qm::SIGNER_NO_ATTR; r.signature.pAttrAuthcode = nullptr; }},
        {"commercial", [](Records& r) { r.authcode.fCommercial = 1; r.authcode.fIndividual = 0; }},
        {"name and info", [](Records& r) { r.authcode.pwszName = u"T\u00e9st"; r.authcode.pwszInfo = u"https://x.test/"; }},
    };
    for (const auto& [name, change] : cases) {
        Records r;
        change(r);
        EXPECT_EQ(r.CheckAll(), kOk) << name;
    }
    Records r;
    r.authcode = {qm::kSignerAttrAuthcodeSize, 1, 0, u"T\u00e9st", u"https://x.test/"};
    authenticode::AttributeChoice choice;
    ASSERT_EQ(ReadSignatureInfo(&r.signature, &choice), kOk);
    EXPECT_TRUE(choice.commercial);
    EXPECT_EQ(choice.opus.name, u"T\u00e9st");
    EXPECT_EQ(choice.opus.url, "https://x.test/");
}

TEST(Records, TimestampArguments) {
    const char* sha256 = "2.16.840.1.101.3.4.2.1";
    struct Case {
        qm::DWORD flags;
        const char* oid;
        const char16_t* url;
        int32_t code;
        bool timestamp;
    } cases[] = {
        {qm::SIGNER_TIMESTAMP_RFC3161, nullptr, nullptr, kOk, false},
        {0, nullptr, nullptr, kOk, false},
        {qm::SIGNER_TIMESTAMP_RFC3161, sha256, u"http://127.0.0.1:1/", kOk, true},
        {qm::SIGNER_TIMESTAMP_RFC3161, sha256, u"", kOk, true},  // reaches the client, which refuses it
        {qm::SIGNER_TIMESTAMP_RFC3161, sha256, nullptr, kInvalidArg, false},
        {qm::SIGNER_TIMESTAMP_AUTHENTICODE, nullptr, u"http://x/", kInvalidArg, false},
        {qm::SIGNER_TIMESTAMP_RFC3161, nullptr, u"http://x/", kInvalidArg, false},
        {qm::SIGNER_TIMESTAMP_RFC3161, "1.3.14.3.2.26", u"http://x/", kInvalidArg, false},
        {7, nullptr, nullptr, kInvalidArg, false},
    };
    for (const Case& c : cases) {
        bool timestamp = false;
        std::string url;
        EXPECT_EQ(ReadTimestampArgs(c.flags, c.oid, c.url, &timestamp, &url), c.code) << c.flags << " " << (c.oid ? c.oid : "-");
        if (c.code == kOk) {
            EXPECT_EQ(timestamp, c.timestamp);
        }
    }
}

}  // namespace
}  // namespace mssign32
