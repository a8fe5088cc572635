// libmssign32.so end to end: the entry points called as the program calls
// them, on PE files built here, with keys in a real NSS database and a real
// loopback timestamp server; osslsigncode judges the result.
#include <gtest/gtest.h>
#include <nss.h>
#include <cert.h>
#include <pk11pub.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fixture.h"
#include "platform/posix/text_posix.h"

namespace {

using fixture::Bytes;

constexpr qm::HRESULT kInvalidArg = static_cast<qm::HRESULT>(0x80070057);
constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";

fixture::World g_world;
fixture::Library g_library;
std::string g_setup_error;  // why the world could not be made
std::string g_missing_tool;

class Mssign32 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_missing_tool.empty()) GTEST_SKIP() << "missing tool: " << g_missing_tool;
        ASSERT_TRUE(g_setup_error.empty()) << g_setup_error;
        setenv("HOME", g_world.home.c_str(), 1);
        static int counter = 0;
        dir_ = g_world.dir + "/case" + std::to_string(++counter);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    }

    // A fresh copy of a pristine PE file in this case's directory.
    std::string Copy(const std::string& pristine, const std::string& name) {
        std::string path = dir_ + "/" + name;
        fixture::WriteFile(path, fixture::ReadFile(pristine));
        return path;
    }

    static Bytes Cert(const char* name) { return fixture::ReadFile(g_world.pki + "/" + name + ".der"); }

    qm::HRESULT SignEx2(fixture::Records* r, const std::string* url) {
        std::u16string wide;
        if (url != nullptr) wide.assign(url->begin(), url->end());
        return g_library.sign_ex2(0, &r->subject, &r->cert, &r->signature, nullptr, qm::SIGNER_TIMESTAMP_RFC3161,
                                  url ? kSha256Oid : nullptr, url ? wide.c_str() : nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
    }
    qm::HRESULT Sign(fixture::Records* r) {
        return g_library.sign(&r->subject, &r->cert, &r->signature, nullptr, nullptr, nullptr, nullptr);
    }
    qm::HRESULT Timestamp(fixture::Records* r, const std::string& url) {
        std::u16string wide(url.begin(), url.end());
        return g_library.timestamp_ex2(qm::SIGNER_TIMESTAMP_RFC3161, &r->subject, wide.c_str(), qm::CALG_SHA_256,
                                       nullptr, nullptr, nullptr);
    }

    // Nothing but the named files in the case directory (no temporary left).
    void ExpectOnlyFiles(size_t count) {
        std::string out;
        fixture::Run("ls -A '" + dir_ + "' | wc -l", &out);
        EXPECT_EQ(std::stoul(out), count) << "files left in " << dir_;
    }

    std::string dir_;
};

TEST_F(Mssign32, SignsExeAndDllWithRsaAndEcdsaChainWithoutRoot) {
    const struct {
        const std::string* pristine;
        const char* cert;
    } cases[] = {
        {&g_world.pe32_exe, "signer-rsa"},
        {&g_world.pe64_dll, "signer-rsa"},
        {&g_world.pe32_exe, "signer-ec"},
        {&g_world.pe64_dll, "signer-ec"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(*c.pristine + " " + c.cert);
        std::string path = Copy(*c.pristine, std::string(c.cert) + "-" + c.pristine->substr(c.pristine->rfind('/') + 1));
        fixture::Records r;
        fixture::FillRecords(path, Cert(c.cert), &r);
        ASSERT_EQ(SignEx2(&r, nullptr), 0);
        std::string log;
        EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
        fixture::EmbeddedSignature embedded;
        ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
        EXPECT_EQ(embedded.signer_count, 1);
        EXPECT_FALSE(embedded.timestamped);
        ASSERT_EQ(embedded.certificates.size(), 2u);
        EXPECT_EQ(embedded.certificates[0], Cert(c.cert));
        EXPECT_EQ(embedded.certificates[1], Cert("intermediate"));
    }
}

TEST_F(Mssign32, WholeChainPolicyEmbedsTheRoot) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    r.store.dwCertPolicy = qm::SIGNER_CERT_POLICY_CHAIN;
    ASSERT_EQ(SignEx2(&r, nullptr), 0);
    fixture::EmbeddedSignature embedded;
    ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
    ASSERT_EQ(embedded.certificates.size(), 3u);
    EXPECT_EQ(embedded.certificates[2], Cert("root"));
}

TEST_F(Mssign32, SignerWithoutIntermediateEmbedsItselfOnly) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    fixture::Records r;
    fixture::FillRecords(path, Cert("other-rsa"), &r);
    ASSERT_EQ(SignEx2(&r, nullptr), 0);
    fixture::EmbeddedSignature embedded;
    ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
    ASSERT_EQ(embedded.certificates.size(), 1u);
    EXPECT_EQ(embedded.certificates[0], Cert("other-rsa"));
    std::string log;
    EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
}

// Signs one file in a process of its own, with the store of `home`: the
// library keeps its NSS context for the life of the process, so a store
// changed by another program is seen by the next run, as a user sees it.
int SignChild(const std::string& home, const std::string& cert_der, const std::string& path) {
    setenv("HOME", home.c_str(), 1);
    fixture::Library library;
    if (!fixture::LoadLibrary(&library)) return 3;
    fixture::Records r;
    fixture::FillRecords(path, fixture::ReadFile(cert_der), &r);
    return library.sign_ex2(0, &r.subject, &r.cert, &r.signature, nullptr, qm::SIGNER_TIMESTAMP_RFC3161, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0
               ? 0
               : 4;
}

// What the README tells a user whose PFX lacked the intermediate: the
// signature carries the leaf alone until the intermediate is imported into
// the store with certutil -A, and then the whole chain but the root.
TEST_F(Mssign32, IntermediateImportedIntoTheStoreJoinsTheChain) {
    std::string home = dir_ + "/home", db = home + "/.pki/nssdb", pki = g_world.pki;
    std::string log;
    ASSERT_EQ(fixture::Run("mkdir -p '" + db + "' && certutil -N -d 'sql:" + db + "' --empty-password && "
                           "openssl pkcs12 -export -in '" + pki + "/signer-rsa.pem' -inkey '" + pki +
                           "/signer-rsa.key' -passout pass: -out '" + dir_ + "/leaf.pfx' && "
                           "pk12util -i '" + dir_ + "/leaf.pfx' -d 'sql:" + db + "' -W ''", &log), 0) << log;
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string sign = "'" + std::string(self) + "' --sign-child '" + home + "' '" + pki + "/signer-rsa.der' ";
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    ASSERT_EQ(fixture::Run(sign + "'" + path + "'", &log), 0) << log;
    fixture::EmbeddedSignature embedded;
    ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
    EXPECT_EQ(embedded.certificates, std::vector<Bytes>{Cert("signer-rsa")});

    ASSERT_EQ(fixture::Run("certutil -A -d 'sql:" + db + "' -n 'Quillmark Test Intermediate' -t ,, -i '" + pki +
                           "/intermediate.pem' && certutil -L -d 'sql:" + db + "'", &log), 0) << log;
    EXPECT_NE(log.find("Quillmark Test Intermediate"), std::string::npos) << log;
    path = Copy(g_world.pe32_exe, "again.exe");
    ASSERT_EQ(fixture::Run(sign + "'" + path + "'", &log), 0) << log;
    ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
    EXPECT_EQ(embedded.certificates, (std::vector<Bytes>{Cert("signer-rsa"), Cert("intermediate")}));
    EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
}

TEST_F(Mssign32, CommercialPurposeProgramNameAndUrl) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    r.authcode.fCommercial = 1;
    r.authcode.fIndividual = 0;
    r.authcode.pwszName = u"Quill Tool \u00e9";
    r.authcode.pwszInfo = u"https://example.test/tool";
    ASSERT_EQ(Sign(&r), 0);
    std::string log;
    EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
    EXPECT_NE(log.find("Microsoft Commercial Code Signing purpose"), std::string::npos) << log;
    EXPECT_EQ(log.find("Individual Code Signing"), std::string::npos) << log;
    EXPECT_NE(log.find("Quill Tool"), std::string::npos) << log;
    EXPECT_NE(log.find("https://example.test/tool"), std::string::npos) << log;
}

TEST_F(Mssign32, ResigningReplacesTheSignature) {
    std::string once = Copy(g_world.pe64_dll, "once.dll");
    std::string twice = Copy(g_world.pe64_dll, "twice.dll");
    fixture::Records r1, r2;
    fixture::FillRecords(once, Cert("signer-rsa"), &r1);
    ASSERT_EQ(SignEx2(&r1, nullptr), 0);
    fixture::FillRecords(twice, Cert("signer-ec"), &r2);
    ASSERT_EQ(SignEx2(&r2, nullptr), 0);
    fixture::FillRecords(twice, Cert("signer-rsa"), &r2);
    ASSERT_EQ(SignEx2(&r2, nullptr), 0);
    // RSA PKCS#1 v1.5 without signingTime is deterministic: re-signing must
    // give exactly the file signed once.
    EXPECT_EQ(fixture::ReadFile(once), fixture::ReadFile(twice));
    std::string log;
    EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, twice, &log)) << log;
}

TEST_F(Mssign32, BackslashesAndUndecodableBytesInThePath) {
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    std::string odd = "sub/caf\xE9-\xFF.exe";  // not UTF-8
    std::string path = Copy(g_world.pe32_exe, odd);
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    r.path = qm::WideFromBytes(dir_ + "\\sub\\caf\xE9-\xFF.exe");
    r.file.pwszFileName = r.path.c_str();
    ASSERT_EQ(SignEx2(&r, nullptr), 0);
    std::string log;
    EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
}

TEST_F(Mssign32, TimestampedInOneCallAndInTheFallbackPair) {
    for (const char* mode : {"ok", "mods", "late", "http500-once", "redirect"}) {
        SCOPED_TRACE(mode);
        for (bool fallback : {false, true}) {
            std::string path = Copy(g_world.pe32_exe, std::string(mode) + (fallback ? "-pair.exe" : "-ex2.exe"));
            fixture::TsaServer tsa;
            ASSERT_TRUE(fixture::StartTsa(g_world, mode, 2, 20, &tsa));
            fixture::Records r;
            fixture::FillRecords(path, Cert("signer-ec"), &r);
            std::string url = tsa.Url();
            if (fallback) {
                ASSERT_EQ(Sign(&r), 0);
                EXPECT_EQ(Timestamp(&r, url), 0);
            } else {
                EXPECT_EQ(SignEx2(&r, &url), 0);
            }
            fixture::StopTsa(&tsa);
            std::string log;
            EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
            EXPECT_NE(log.find("Timestamp Server Signature verification: ok"), std::string::npos) << log;
            fixture::EmbeddedSignature embedded;
            ASSERT_TRUE(fixture::ReadEmbeddedSignature(path, &embedded));
            EXPECT_TRUE(embedded.timestamped);
        }
    }
}

TEST_F(Mssign32, TimestampFailuresReturnTheirCodeAndLeaveTheFile) {
    const struct {
        const char* mode;
        qm::HRESULT code;
    } cases[] = {
        {"refuse", static_cast<qm::HRESULT>(0x80072EFD)},
        {"http500", static_cast<qm::HRESULT>(0x801901F4)},
        {"garbage", static_cast<qm::HRESULT>(0x80096005)},
        {"wrong-nonce", static_cast<qm::HRESULT>(0x80096005)},
        {"wrong-imprint", static_cast<qm::HRESULT>(0x80096005)},
        {"reject", static_cast<qm::HRESULT>(0x80096005)},
        // Granted replies whose token was damaged after signing: every one
        // fails "Timestamp Server Signature verification" in osslsigncode.
        {"bad-signature", static_cast<qm::HRESULT>(0x80096005)},
        {"bad-signed-attrs", static_cast<qm::HRESULT>(0x80096005)},
        {"bad-tstinfo", static_cast<qm::HRESULT>(0x80096005)},
        {"bad-tsa-cert", static_cast<qm::HRESULT>(0x80096005)},
        {"redirect-loop", static_cast<qm::HRESULT>(0x80072F7C)},
        {"http09", static_cast<qm::HRESULT>(0x80072F78)},
    };
    // One file unsigned (SignerSignEx2) and one already signed
    // (SignerTimeStampEx2): both stay byte for byte as they were.
    std::string unsigned_path = Copy(g_world.pe32_exe, "unsigned.exe");
    std::string signed_path = Copy(g_world.pe64_dll, "signed.dll");
    fixture::Records s;
    fixture::FillRecords(signed_path, Cert("signer-rsa"), &s);
    ASSERT_EQ(Sign(&s), 0);
    const Bytes unsigned_before = fixture::ReadFile(unsigned_path);
    const Bytes signed_before = fixture::ReadFile(signed_path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        fixture::TsaServer tsa;
        // A redirect loop costs four requests per call.
        ASSERT_TRUE(fixture::StartTsa(g_world, c.mode, 8, 10, &tsa));
        fixture::Records r;
        fixture::FillRecords(unsigned_path, Cert("signer-rsa"), &r);
        std::string url = tsa.Url();
        EXPECT_EQ(SignEx2(&r, &url), c.code);
        EXPECT_EQ(Timestamp(&s, url), c.code);
        fixture::StopTsa(&tsa);
        EXPECT_EQ(fixture::ReadFile(unsigned_path), unsigned_before);
        EXPECT_EQ(fixture::ReadFile(signed_path), signed_before);
    }
    ExpectOnlyFiles(2);
}

TEST_F(Mssign32, TimestampOnAnUnreadableSignatureIsRefused) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    ASSERT_EQ(Sign(&r), 0);
    // Make the ContentInfo say "data" instead of "signedData": the table and
    // its DER are intact, but it holds no SignedData.
    Bytes file = fixture::ReadFile(path);
    uint32_t pe = 0, table = 0;
    memcpy(&pe, &file[0x3C], 4);
    memcpy(&table, &file[pe + 152], 4);
    const Bytes signed_data_oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    ASSERT_TRUE(std::equal(signed_data_oid.begin(), signed_data_oid.end(), file.begin() + table + 12));
    file[table + 22] = 0x01;
    fixture::WriteFile(path, file);
    fixture::TsaServer tsa;
    ASSERT_TRUE(fixture::StartTsa(g_world, "ok", 1, 10, &tsa));
    EXPECT_EQ(Timestamp(&r, tsa.Url()), static_cast<qm::HRESULT>(0x80092002));
    fixture::StopTsa(&tsa);
    EXPECT_EQ(fixture::ReadFile(path), file);
}

TEST_F(Mssign32, StalledServerTimesOutWithinTheBound) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    const Bytes before = fixture::ReadFile(path);
    fixture::TsaServer tsa;
    ASSERT_TRUE(fixture::StartTsa(g_world, "stall", 2, 40, &tsa));
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    std::string url = tsa.Url();
    time_t start = time(nullptr);
    EXPECT_EQ(SignEx2(&r, &url), static_cast<qm::HRESULT>(0x80072EE2));
    time_t took = time(nullptr) - start;
    fixture::StopTsa(&tsa);
    EXPECT_LE(took, 30);  // two bounded attempts and the pause between them
    EXPECT_EQ(fixture::ReadFile(path), before);
}

TEST_F(Mssign32, UnusableUrlsFailBeforeTheFileChanges) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    const Bytes before = fixture::ReadFile(path);
    const struct {
        std::string url;
        qm::HRESULT code;
    } cases[] = {
        {"", static_cast<qm::HRESULT>(0x80072EE5)},
        {"ftp://127.0.0.1/", static_cast<qm::HRESULT>(0x80072EE6)},
        {"http://127.0.0.1:1/", static_cast<qm::HRESULT>(0x80072EFD)},
    };
    for (const auto& c : cases) {
        fixture::Records r;
        fixture::FillRecords(path, Cert("signer-rsa"), &r);
        EXPECT_EQ(SignEx2(&r, &c.url), c.code) << c.url;
        EXPECT_EQ(fixture::ReadFile(path), before);
    }
    // HTTPS goes through TLS: a plain HTTP server on the other end fails the
    // handshake.
    fixture::TsaServer tsa;
    ASSERT_TRUE(fixture::StartTsa(g_world, "ok", 2, 10, &tsa));
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    std::string https = "https://127.0.0.1:" + std::to_string(tsa.port) + "/";
    EXPECT_EQ(SignEx2(&r, &https), static_cast<qm::HRESULT>(0x80072F8F));
    fixture::StopTsa(&tsa);
    EXPECT_EQ(fixture::ReadFile(path), before);
}

TEST_F(Mssign32, KeyAndFileProblemsHaveTheirCodes) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    std::string text = dir_ + "/notes.txt";
    fixture::WriteFile(text, Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    const Bytes before = fixture::ReadFile(path);
    const struct {
        const char* what;
        std::string path;
        const char* cert;
        qm::HRESULT code;
    } cases[] = {
        {"certificate not in the store", path, "root", static_cast<qm::HRESULT>(0x8009200B)},
        {"certificate without key", path, "tsa", static_cast<qm::HRESULT>(0x8009200B)},
        {"not a PE file", text, "signer-rsa", static_cast<qm::HRESULT>(0x800B0003)},
        {"missing file", dir_ + "/missing.exe", "signer-rsa", static_cast<qm::HRESULT>(0x80070002)},
    };
    for (const auto& c : cases) {
        fixture::Records r;
        fixture::FillRecords(c.path, Cert(c.cert), &r);
        EXPECT_EQ(SignEx2(&r, nullptr), c.code) << c.what;
        EXPECT_EQ(Sign(&r), c.code) << c.what;
    }
    EXPECT_EQ(fixture::ReadFile(path), before);
    EXPECT_EQ(fixture::ReadFile(text), (Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));

    // Timestamping needs a signature to put the timestamp on.
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    EXPECT_EQ(Timestamp(&r, "http://127.0.0.1:1/"), static_cast<qm::HRESULT>(0x800B0100));
    EXPECT_EQ(fixture::ReadFile(path), before);
    ExpectOnlyFiles(2);
}

TEST_F(Mssign32, KeyBehindAPinFailsAtOnce) {
    setenv("HOME", g_world.pin_home.c_str(), 1);
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    const Bytes before = fixture::ReadFile(path);
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    time_t start = time(nullptr);
    EXPECT_EQ(SignEx2(&r, nullptr), static_cast<qm::HRESULT>(0x8010006F));
    EXPECT_LE(time(nullptr) - start, 5);
    EXPECT_EQ(fixture::ReadFile(path), before);
}

TEST_F(Mssign32, BadRecordsAreInvalidArgAndTouchNothing) {
    std::string path = Copy(g_world.pe32_exe, "app.exe");
    const Bytes before = fixture::ReadFile(path);
    fixture::Records r;
    fixture::FillRecords(path, Cert("signer-rsa"), &r);
    std::u16string url = u"http://127.0.0.1:1/";
    int dummy = 0;
    EXPECT_EQ(g_library.sign_ex2(0, nullptr, &r.cert, &r.signature, nullptr, 2, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign_ex2(0, &r.subject, nullptr, &r.signature, nullptr, 2, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign_ex2(0, &r.subject, &r.cert, nullptr, nullptr, 2, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign_ex2(0x1000, &r.subject, &r.cert, &r.signature, nullptr, 2, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign_ex2(0, &r.subject, &r.cert, &r.signature,
                                 reinterpret_cast<qm::SIGNER_PROVIDER_INFO*>(&dummy), 2, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign_ex2(0, &r.subject, &r.cert, &r.signature, nullptr, 2, "1.3.14.3.2.26", url.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.sign(&r.subject, &r.cert, &r.signature, nullptr, url.c_str(), nullptr, nullptr), kInvalidArg);
    EXPECT_EQ(g_library.timestamp_ex2(2, &r.subject, url.c_str(), 0x8004, nullptr, nullptr, nullptr), kInvalidArg);
    EXPECT_EQ(g_library.timestamp_ex2(2, &r.subject, nullptr, qm::CALG_SHA_256, nullptr, nullptr, nullptr),
              kInvalidArg);
    EXPECT_EQ(g_library.timestamp_ex2(1, &r.subject, url.c_str(), qm::CALG_SHA_256, nullptr, nullptr, nullptr),
              kInvalidArg);
    r.signature.algidHash = 0x8004;  // SHA-1
    EXPECT_EQ(SignEx2(&r, nullptr), kInvalidArg);
    r.signature.algidHash = qm::CALG_SHA_256;
    r.file.cbSize = 16;
    EXPECT_EQ(Sign(&r), kInvalidArg);
    EXPECT_EQ(fixture::ReadFile(path), before);
}

TEST_F(Mssign32, WorksBesideTheProgramsOwnNssContext) {
    // The program's store keeps its own read-only context (and the
    // certificate it found) open while it calls the library.
    std::string config = "sql:" + g_world.home + "/.pki/nssdb";
    NSSInitContext* store = NSS_InitContext(config.c_str(), "", "", "", nullptr, NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    ASSERT_NE(store, nullptr);
    Bytes der = Cert("signer-rsa");
    SECItem item{siBuffer, der.data(), static_cast<unsigned int>(der.size())};
    CERTCertificate* held = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item);
    ASSERT_NE(held, nullptr);
    for (int i = 0; i < 2; ++i) {
        std::string path = Copy(g_world.pe32_exe, "app" + std::to_string(i) + ".exe");
        fixture::Records r;
        fixture::FillRecords(path, der, &r);
        EXPECT_EQ(SignEx2(&r, nullptr), 0);
        std::string log;
        EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, path, &log)) << log;
    }
    // The program's context still finds what it found before and shuts
    // down cleanly; the library keeps its own context (and key) until the
    // process exits.
    CERTCertificate* again = CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &item);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again, held);
    CERT_DestroyCertificate(again);
    CERT_DestroyCertificate(held);
    EXPECT_EQ(NSS_ShutdownContext(store), SECSuccess);
    EXPECT_TRUE(NSS_IsInitialized());
}

// A process of its own per scenario: NSS keeps a token's login for the
// life of the process, so each scenario needs a fresh one (and a fresh copy
// of the token). The child signs `count` files with the token's RSA key,
// the PIN coming from a FIFO named by QUILLMARK_PIN_FILE, and reports each
// file's code and how many times the PIN was read.
int TokenChild(const std::string& home, const std::string& pki, const std::string& pe, const std::string& out,
               const std::string& pin, int count) {
    setenv("HOME", home.c_str(), 1);
    setenv("SOFTHSM2_CONF", (home + "/softhsm2.conf").c_str(), 1);
    std::string fifo = home + "/pin.fifo";
    if (mkfifo(fifo.c_str(), 0600) != 0) return 2;
    setenv("QUILLMARK_PIN_FILE", fifo.c_str(), 1);
    unsetenv("QUILLMARK_PIN");
    static std::atomic<int> reads{0};
    std::thread([fifo, pin]() {
        for (;;) {
            int fd = open(fifo.c_str(), O_WRONLY);  // waits for a reader
            if (fd < 0) return;
            ++reads;
            std::string line = pin + "\n";
            if (write(fd, line.data(), line.size()) < 0) return;
            // One read is one open by the library: wait for it to close
            // its end (POLLERR on ours) before offering the PIN again.
            pollfd p{fd, 0, 0};
            while (poll(&p, 1, -1) >= 0 && (p.revents & POLLERR) == 0) {
            }
            close(fd);
        }
    }).detach();
    fixture::Library library;
    if (!fixture::LoadLibrary(&library)) return 3;
    Bytes cert = fixture::ReadFile(pki + "/token-rsa.der");
    for (int i = 0; i < count; ++i) {
        std::string path = out + "/f" + std::to_string(i) + ".exe";
        fixture::WriteFile(path, fixture::ReadFile(pe));
        fixture::Records r;
        fixture::FillRecords(path, cert, &r);
        qm::HRESULT code = library.sign_ex2(0, &r.subject, &r.cert, &r.signature, nullptr, qm::SIGNER_TIMESTAMP_RFC3161,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        printf("%08x ", static_cast<unsigned>(code));
    }
    printf("reads=%d\n", reads.load());
    fflush(stdout);
    return 0;
}

TEST_F(Mssign32, TokenPinReadOnceForARunAndARefusedPinNotTriedAgain) {
    if (g_world.token_home.empty()) GTEST_SKIP() << "SoftHSM2 is not installed (softhsm2)";
    const struct {
        const char* pin;
        int files;
        const char* want;  // each file's code, then how often the PIN was read
    } cases[] = {
        {"1234", 4, "00000000 00000000 00000000 00000000 reads=1\n"},
        {"4321", 3, "8010006b 8010006b 8010006b reads=1\n"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pin);
        std::string home = dir_ + "/home" + std::to_string(++n), out = dir_ + "/out" + std::to_string(n);
        ASSERT_EQ(fixture::Run("cp -a '" + g_world.token_home + "' '" + home + "' && mkdir '" + out + "'"), 0);
        std::ofstream(home + "/softhsm2.conf") << "directories.tokendir = " << home
                                                << "/tokens\nobjectstore.backend = file\n";
        std::string output;
        char self[4096] = {0};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        ASSERT_EQ(fixture::Run("'" + std::string(self) + "' --token-child '" + home + "' '" + g_world.pki + "' '" + g_world.pe32_exe +
                                   "' '" + out + "' " + c.pin + " " + std::to_string(c.files),
                               &output),
                  0)
            << output;
        EXPECT_EQ(output, c.want);
        if (std::string(c.pin) != "1234") continue;
        for (int i = 0; i < c.files; ++i) {
            std::string log;
            EXPECT_TRUE(fixture::VerifiesWithOsslsigncode(g_world, out + "/f" + std::to_string(i) + ".exe", &log)) << log;
        }
    }
}

class WorldEnvironment : public ::testing::Environment {
public:
    void SetUp() override { fixture::SetUpWorld(&g_world, &g_library, &g_missing_tool, &g_setup_error); }
    void TearDown() override { fixture::TearDownWorld(g_world); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--sign-child") return SignChild(argv[2], argv[3], argv[4]);
    if (argc == 8 && std::string(argv[1]) == "--token-child") {
        return TokenChild(argv[2], argv[3], argv[4], argv[5], argv[6], atoi(argv[7]));
    }
    // The library prompts for a PIN on the controlling terminal; these tests
    // must find none, as in CI. setsid(1) runs them in a session without one.
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        close(tty);
        std::vector<char*> args{const_cast<char*>("setsid"), const_cast<char*>("--wait")};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execvp("setsid", args.data());
        perror("setsid");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    // The timestamp server is on loopback; a proxy from the environment
    // must not stand in between.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
    ::testing::AddGlobalTestEnvironment(new WorldEnvironment);
    return RUN_ALL_TESTS();
}
