// libmssign32.so on every format besides PE: PowerShell-family scripts,
// cabinets (gcab and hand-laid), Windows Installer packages (wixl, with a
// sub-storage added by libgsf) and security catalogs, all made here. Each is
// signed, checked by osslsigncode, checked for unchanged content, re-signed,
// timestamped on the loopback server and tampered with; broken inputs must
// fail with their code and stay as they were.
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "fixture.h"

namespace {

using fixture::Bytes;

constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";
constexpr qm::HRESULT Code(uint32_t code) { return static_cast<qm::HRESULT>(code); }
const qm::HRESULT kUnknownForm = Code(0x800B0003);
const qm::HRESULT kNoSignature = Code(0x800B0100);
const qm::HRESULT kEncoding = Code(0x80070459);
const qm::HRESULT kInvalidData = Code(0x8007000D);
const qm::HRESULT kNotSupported = Code(0x80070032);
const qm::HRESULT kBadCabinet = Code(0x8007000B);
const qm::HRESULT kBadPackage = Code(0x80070654);
const qm::HRESULT kBadCatalog = Code(0x8009200D);

fixture::World g_world;
fixture::Library g_library;
std::string g_setup_error;
std::string g_missing_tool;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Utf16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

bool StartsWith(const Bytes& data, const Bytes& prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

size_t Count(const Bytes& data, const Bytes& needle) {
    size_t n = 0;
    for (auto it = data.begin(); (it = std::search(it, data.end(), needle.begin(), needle.end())) != data.end(); ++it) {
        ++n;
    }
    return n;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class Formats : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_missing_tool.empty()) GTEST_SKIP() << "missing tool: " << g_missing_tool;
        ASSERT_TRUE(g_setup_error.empty()) << g_setup_error;
        setenv("HOME", g_world.home.c_str(), 1);
        static int counter = 0;
        dir_ = g_world.dir + "/formats" + std::to_string(++counter);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    }

    void RequireTools(std::initializer_list<const char*> tools) {
        for (const char* tool : tools) {
            if (!fixture::HaveTool(tool)) GTEST_SKIP() << "missing tool: " << tool;
        }
    }

    std::string Write(const std::string& name, const Bytes& data) {
        std::string path = dir_ + "/" + name;
        fixture::WriteFile(path, data);
        return path;
    }

    static Bytes Cert(const char* name) { return fixture::ReadFile(g_world.pki + "/" + name + ".der"); }

    qm::HRESULT SignEx2(const std::string& path, const char* cert = "signer-rsa", const std::string* url = nullptr) {
        fixture::Records r;
        fixture::FillRecords(path, Cert(cert), &r);
        std::u16string wide;
        if (url != nullptr) wide.assign(url->begin(), url->end());
        return g_library.sign_ex2(0, &r.subject, &r.cert, &r.signature, nullptr, qm::SIGNER_TIMESTAMP_RFC3161,
                                  url ? kSha256Oid : nullptr, url ? wide.c_str() : nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
    }
    qm::HRESULT Sign(const std::string& path, const char* cert = "signer-rsa") {
        fixture::Records r;
        fixture::FillRecords(path, Cert(cert), &r);
        return g_library.sign(&r.subject, &r.cert, &r.signature, nullptr, nullptr, nullptr, nullptr);
    }
    qm::HRESULT Timestamp(const std::string& path, const std::string& url) {
        fixture::Records r;
        fixture::FillRecords(path, Cert("signer-rsa"), &r);
        std::u16string wide(url.begin(), url.end());
        return g_library.timestamp_ex2(qm::SIGNER_TIMESTAMP_RFC3161, &r.subject, wide.c_str(), qm::CALG_SHA_256,
                                       nullptr, nullptr, nullptr);
    }

    // osslsigncode accepts the file, and where it prints the digest pair
    // (message digest; DigitalSignature for packages) the two are equal.
    static bool Verifies(const std::string& path, std::string* log) {
        int rc = fixture::Run("osslsigncode verify -CAfile " + Quote(g_world.pki + "/root.pem") + " -TSA-CAfile " +
                                  Quote(g_world.pki + "/tsa-root.pem") + " -in " + Quote(path),
                              log);
        auto value = [log](const std::string& label) {
            size_t at = log->find(label);
            if (at == std::string::npos) return std::string();
            at = log->find(':', at);
            size_t end = log->find('\n', at);
            return log->substr(at + 1, end - at - 1);
        };
        bool package = log->find("Current DigitalSignature") != std::string::npos;
        std::string current = value(package ? "Current DigitalSignature" : "Current message digest");
        std::string calculated = value(package ? "Calculated DigitalSignature" : "Calculated message digest");
        bool catalog = path.size() > 4 && path.compare(path.size() - 4, 4, ".cat") == 0;
        return rc == 0 && (catalog || (!current.empty() && current == calculated));
    }

    // Signs with SignEx2, re-signs with another key (the result must again
    // verify and hold one signer), timestamps, and checks that one changed
    // byte makes verification fail: at `tamper_at`, or `into` bytes into the
    // first `needle` of the signed file.
    void SignResignTimestampTamper(const std::string& path, size_t tamper_at, const Bytes& needle = {}) {
        std::string log;
        ASSERT_EQ(SignEx2(path), 0);
        EXPECT_TRUE(Verifies(path, &log)) << log;
        ASSERT_EQ(SignEx2(path, "signer-ec"), 0);
        EXPECT_TRUE(Verifies(path, &log)) << log;
        EXPECT_NE(log.find("Number of verified signatures: 1"), std::string::npos) << log;
        fixture::TsaServer tsa;
        ASSERT_TRUE(fixture::StartTsa(g_world, "ok", 1, 20, &tsa));
        EXPECT_EQ(Timestamp(path, tsa.Url()), 0);
        fixture::StopTsa(&tsa);
        EXPECT_TRUE(Verifies(path, &log)) << log;
        EXPECT_NE(log.find("Timestamp Server Signature verification: ok"), std::string::npos) << log;

        Bytes data = fixture::ReadFile(path);
        if (!needle.empty()) {
            auto found = std::search(data.begin(), data.end(), needle.begin(), needle.end());
            ASSERT_NE(found, data.end());
            tamper_at += static_cast<size_t>(found - data.begin());
        }
        ASSERT_LT(tamper_at, data.size());
        data[tamper_at] ^= 0x01;
        std::string tampered = path.substr(0, path.rfind('.')) + "-tampered" + path.substr(path.rfind('.'));
        fixture::WriteFile(tampered, data);
        EXPECT_FALSE(Verifies(tampered, &log)) << log;
    }

    // A broken input fails with `code` from both signing calls and from the
    // timestamp call, and stays byte for byte as it was.
    void ExpectRefused(const std::string& path, qm::HRESULT code) {
        const Bytes before = fixture::ReadFile(path);
        EXPECT_EQ(SignEx2(path), code) << path;
        EXPECT_EQ(Sign(path), code) << path;
        EXPECT_EQ(Timestamp(path, "http://127.0.0.1:1/"), code) << path;
        EXPECT_EQ(fixture::ReadFile(path), before) << path;
    }

    // Nothing but `count` files in the case directory (no temporary left).
    void ExpectOnlyFiles(size_t count) {
        std::string out;
        fixture::Run("ls -A " + Quote(dir_) + " | wc -l", &out);
        EXPECT_EQ(std::stoul(out), count) << "files left in " << dir_;
    }

    std::string dir_;
};

// The libraries only some work needs are loaded when it is first asked for:
// neither libgsf (packages) and what it pulls in, nor libcurl (timestamps),
// is among what loading the signing library loads.
TEST_F(Formats, LibgsfAndLibcurlAreNotLoadedWithTheLibrary) {
    RequireTools({"ldd"});
    std::string out;
    ASSERT_EQ(fixture::Run("ldd " + Quote(QM_MSSIGN32_PATH), &out), 0) << out;
    ASSERT_NE(out.find("libnss3.so"), std::string::npos) << out;
    for (const char* name : {"libgsf-1", "libgobject-2.0", "libglib-2.0", "libgio-2.0", "libxml2", "libcurl"}) {
        EXPECT_EQ(out.find(name), std::string::npos) << name << " loads with the library:\n" << out;
    }
}

// ---- scripts --------------------------------------------------------------

TEST_F(Formats, ScriptsInEveryEncodingLineEndingAndExtension) {
    const struct {
        const char* name;
        Bytes text;
    } texts[] = {
        {"lf", Text("Write-Host 'one'\nWrite-Host 'two'\n")},
        {"crlf", Text("Write-Host 'one'\r\nWrite-Host 'two'\r\n")},
        {"no-final-eol", Text("Write-Host 'one'")},
        {"utf8-bom", Text("\xEF\xBB\xBFWrite-Host 'caf\xC3\xA9 \xF0\x9F\x96\x8B'\r\n")},
        {"utf16", Utf16(u"\uFEFFWrite-Host 'caf\u00E9 \U0001F58B'\r\n")},
        {"utf16-lf", Utf16(u"\uFEFF<a>\u00E9</a>\n")},
    };
    for (const char* ext : {".ps1", ".psm1", ".psd1", ".ps1xml", ".psc1", ".cdxml", ".PS1", ".Ps1Xml"}) {
        bool xml = strcasecmp(ext, ".ps1xml") == 0 || strcasecmp(ext, ".psc1") == 0 || strcasecmp(ext, ".cdxml") == 0;
        for (const auto& t : texts) {
            SCOPED_TRACE(std::string(t.name) + ext);
            std::string path = Write(std::string(t.name) + ext, t.text);
            std::string log;
            ASSERT_EQ(SignEx2(path), 0);
            EXPECT_TRUE(Verifies(path, &log)) << log;
            Bytes once = fixture::ReadFile(path);
            EXPECT_TRUE(StartsWith(once, t.text));
            bool wide = t.text.size() >= 2 && t.text[0] == 0xFF;
            std::string open = xml ? "<!-- " : "# ";
            std::string close = xml ? " -->" : "";
            Bytes header = Text("\r\n" + open + "SIG # Begin signature block" + close + "\r\n");
            Bytes footer = Text("\r\n" + open + "SIG # End signature block" + close + "\r\n");
            if (wide) {
                header = Utf16(std::u16string(header.begin(), header.end()));
                footer = Utf16(std::u16string(footer.begin(), footer.end()));
            }
            EXPECT_TRUE(std::equal(header.begin(), header.end(), once.begin() + static_cast<long>(t.text.size())));
            EXPECT_TRUE(std::equal(footer.rbegin(), footer.rend(), once.rbegin()));
            // Re-signing replaces the block: the text stays, one block.
            ASSERT_EQ(Sign(path, "signer-ec"), 0);
            Bytes twice = fixture::ReadFile(path);
            EXPECT_TRUE(StartsWith(twice, t.text));
            EXPECT_EQ(Count(twice, header), 1u);
            EXPECT_TRUE(Verifies(path, &log)) << log;
        }
    }
}

TEST_F(Formats, ScriptResignTimestampAndTamper) {
    std::string path = Write("tool.ps1", Text("param($x)\r\nWrite-Output $x\r\n"));
    SignResignTimestampTamper(path, 3);
    // A script whose signature block is UTF-16LE.
    std::string wide = Write("wide.psm1", Utf16(u"\uFEFFfunction Get-Thing { 'x' }\r\n"));
    SignResignTimestampTamper(wide, 6);
    // Timestamping an unsigned script has nothing to put the token on.
    std::string bare = Write("bare.ps1", Text("Write-Output 1\n"));
    EXPECT_EQ(Timestamp(bare, "http://127.0.0.1:1/"), kNoSignature);
}

TEST_F(Formats, ScriptsTheDigestCannotPinDownAreRefused) {
    std::string signed_path = Write("signed.ps1", Text("Write-Output 1\r\n"));
    ASSERT_EQ(Sign(signed_path), 0);
    Bytes signed_text = fixture::ReadFile(signed_path);
    Bytes after = signed_text;
    for (char c : std::string("Write-Output 'added later'\r\n")) after.push_back(static_cast<uint8_t>(c));
    Bytes no_end(signed_text.begin(), signed_text.begin() + static_cast<long>(signed_text.size() / 2));
    const struct {
        const char* what;
        const char* name;
        Bytes data;
        qm::HRESULT code;
    } cases[] = {
        {"no BOM, a code page byte", "cp1252.ps1", Text("Write-Host 'caf\xE9'\r\n"), kEncoding},
        {"no BOM, UTF-8 text", "utf8.psm1", Text("Write-Host 'caf\xC3\xA9'\r\n"), kEncoding},
        {"UTF-8 BOM, invalid UTF-8", "bad.ps1", Text("\xEF\xBB\xBFWrite-Host '\xC3'\r\n"), kEncoding},
        {"UTF-16BE", "be.ps1", Text(std::string("\xFE\xFF\0W", 4)), kEncoding},
        {"UTF-16LE, odd length", "odd.ps1", Text(std::string("\xFF\xFEW\0x", 5)), kEncoding},
        {"text after the block", "after.ps1", after, kInvalidData},
        {"block without its end", "cut.ps1", no_end, kInvalidData},
        {"empty: no text to sign", "empty.ps1", Text(""), kInvalidData},
        {"not a script type", "tool.js", Text("WScript.Echo(1);\n"), kUnknownForm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectRefused(Write(c.name, c.data), c.code);
    }
    ExpectOnlyFiles(std::size(cases) + 1);
}

// ---- cabinets -------------------------------------------------------------

class Cabinets : public Formats {
protected:
    void SetUp() override {
        Formats::SetUp();
        if (IsSkipped()) return;
        RequireTools({"gcab", "python3"});
        ASSERT_EQ(mkdir((dir_ + "/in").c_str(), 0755), 0);
        Write("in/readme.txt", Text("read me\n"));
        Bytes big;
        for (uint32_t i = 0; i < 200000; ++i) big.push_back(static_cast<uint8_t>((i * 7919u) >> 3));
        Write("in/data.bin", big);
    }
    std::string MakeCab(const std::string& name, const std::string& how) {
        std::string path = dir_ + "/" + name;
        std::string log;
        std::string files = Quote(dir_ + "/in/readme.txt") + " " + Quote(dir_ + "/in/data.bin");
        std::string command = how == "folders"
                                  ? "python3 " + Quote(std::string(QM_FIXTURES_DIR) + "/make_cab.py") + " " +
                                        Quote(path) + " " + files
                                  : "gcab -c -n " + how + " " + Quote(path) + " " + files;
        EXPECT_EQ(fixture::Run(command, &log), 0) << log;
        return path;
    }
    // gcab extracts the same two files.
    void ExpectSameFiles(const std::string& cab) {
        std::string out = cab + ".x";
        std::string log;
        ASSERT_EQ(fixture::Run("mkdir -p " + Quote(out) + " && gcab -x -C " + Quote(out) + " " + Quote(cab), &log), 0)
            << log;
        for (const char* name : {"readme.txt", "data.bin"}) {
            EXPECT_EQ(fixture::ReadFile(out + "/" + name), fixture::ReadFile(dir_ + "/in/" + name)) << name;
        }
    }
};

TEST_F(Cabinets, StoredCompressedAndTwoFolders) {
    for (const char* how : {"", "-z", "folders"}) {
        SCOPED_TRACE(how);
        std::string path = MakeCab(std::string("set") + how + ".cab", how);
        const Bytes original = fixture::ReadFile(path);
        ASSERT_EQ(Sign(path), 0);
        std::string log;
        EXPECT_TRUE(Verifies(path, &log)) << log;
        ExpectSameFiles(path);
        Bytes signed_cab = fixture::ReadFile(path);
        // The reserve went in after the fixed header; the file and data
        // blocks follow unchanged.
        ASSERT_GT(signed_cab.size(), original.size() + 24);
        EXPECT_EQ(signed_cab[36], 20);
        uint32_t files_offset = 0;
        memcpy(&files_offset, &original[16], 4);
        EXPECT_TRUE(std::equal(original.begin() + files_offset, original.end(), signed_cab.begin() + files_offset + 24));
        uint32_t signature_offset = 0;
        memcpy(&signature_offset, &signed_cab[44], 4);
        EXPECT_EQ((signed_cab.size() - signature_offset) % 8, 0u);
        // Tamper inside the file blocks.
        SignResignTimestampTamper(path, files_offset + 24 + 2);
        ExpectSameFiles(path);
    }
}

TEST_F(Cabinets, SetsForeignReservesAndBrokenHeadersAreRefused) {
    std::string maker = "python3 " + Quote(std::string(QM_FIXTURES_DIR) + "/make_cab.py") + " ";
    std::string files = Quote(dir_ + "/in/readme.txt");
    std::string log;
    ASSERT_EQ(fixture::Run(maker + Quote(dir_ + "/reserve.cab") + " --reserve 8 " + files, &log), 0) << log;
    ASSERT_EQ(fixture::Run(maker + Quote(dir_ + "/next.cab") + " --next two.cab " + files, &log), 0) << log;
    ExpectRefused(dir_ + "/reserve.cab", kNotSupported);
    ExpectRefused(dir_ + "/next.cab", kNotSupported);

    Bytes good = fixture::ReadFile(MakeCab("good.cab", ""));
    Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() - 10));
    Bytes bad_version = good;
    bad_version[25] = 2;
    Bytes bad_files = good;
    bad_files[16] = 0xFF;
    bad_files[17] = 0xFF;
    Bytes bad_folder = good;
    bad_folder[36] = 0x01;  // the data blocks start inside the header
    bad_folder[37] = 0x00;
    bad_folder[38] = 0x00;
    bad_folder[39] = 0x00;
    for (auto [name, data] : {std::pair{"truncated.cab", truncated}, std::pair{"version.cab", bad_version},
                              std::pair{"files.cab", bad_files}, std::pair{"folder.cab", bad_folder},
                              std::pair{"short.cab", Text("MSCF")}}) {
        SCOPED_TRACE(name);
        ExpectRefused(Write(name, data), kBadCabinet);
    }
}

// ---- Windows Installer packages ----------------------------------------------

class Packages : public Formats {
protected:
    void SetUp() override {
        Formats::SetUp();
        if (IsSkipped()) return;
        RequireTools({"wixl", "msiextract", "msiinfo"});
        ASSERT_EQ(mkdir((dir_ + "/in").c_str(), 0755), 0);
        Write("in/readme.txt", Text("read me\n"));
        Bytes big;
        for (uint32_t i = 0; i < 300000; ++i) big.push_back(static_cast<uint8_t>((i * 31337u) >> 5));
        Write("in/data.bin", big);
        Write("p.wxs", Text(R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Quill Test" Language="1033" Version="1.0.0" Manufacturer="Example"
           UpgradeCode="12345678-1234-1234-1234-123456789012">
    <Package InstallerVersion="200" Compressed="yes" Comments="quill test package"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="QuillTest">
          <Component Id="Main" Guid="11111111-2222-3333-4444-555555555555">
            <File Id="f1" Name="readme.txt" Source="in/readme.txt" KeyPath="yes"/>
            <File Id="f2" Name="data.bin" Source="in/data.bin"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Main"/></Feature>
  </Product>
</Wix>
)"));
        std::string log;
        ASSERT_EQ(fixture::Run("cd " + Quote(dir_) + " && wixl -o plain.msi p.wxs", &log), 0) << log;
    }
    std::string Edit(const std::string& name, const std::string& options) {
        std::string log;
        EXPECT_EQ(fixture::Run(std::string(QM_CFB_EDIT_PATH) + " " + Quote(dir_ + "/plain.msi") + " " +
                                   Quote(dir_ + "/" + name) + " " + options,
                               &log),
                  0)
            << log;
        return dir_ + "/" + name;
    }
    static std::string Listing(const std::string& path) {
        std::string out;
        fixture::Run(std::string(QM_CFB_EDIT_PATH) + " --list " + Quote(path), &out);
        return out;
    }
    void ExpectSameFiles(const std::string& msi) {
        std::string out = msi + ".x";
        std::string log;
        ASSERT_EQ(fixture::Run("mkdir -p " + Quote(out) + " && cd " + Quote(out) + " && msiextract " + Quote(msi), &log),
                  0)
            << log;
        for (const char* name : {"readme.txt", "data.bin"}) {
            EXPECT_EQ(fixture::ReadFile(out + "/Program Files/QuillTest/" + name), fixture::ReadFile(dir_ + "/in/" + name))
                << name;
        }
    }
};

TEST_F(Packages, PlainWithSubStorageWith4096ByteSectorsAndWithStaleExtendedSignature) {
    const struct {
        const char* name;
        const char* options;
    } cases[] = {{"storage.msi", "--storage"},
                 {"dse.msi", "--dse"},
                 {"v4.msi", "--v4 --storage"},
                 {"plain.msi", nullptr}};
    // All made from the unsigned package before any is signed.
    std::vector<std::string> paths;
    for (const auto& c : cases) paths.push_back(c.options ? Edit(c.name, c.options) : dir_ + "/plain.msi");
    for (size_t i = 0; i < paths.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string& path = paths[i];
        std::string before = Listing(path);
        ASSERT_EQ(SignEx2(path), 0);
        std::string log;
        EXPECT_TRUE(Verifies(path, &log)) << log;
        ExpectSameFiles(path);
        std::string after = Listing(path);
        // Every stream and storage (with its class id) is still there; the
        // signature was added and a stale extended signature dropped.
        std::string expected;
        size_t start = 0;
        while (start < before.size()) {
            size_t end = before.find('\n', start);
            std::string line = before.substr(start, end - start + 1);
            if (line.find("MsiDigitalSignatureEx") == std::string::npos) expected += line;
            start = end + 1;
        }
        EXPECT_EQ(after.find("MsiDigitalSignatureEx"), std::string::npos) << after;
        std::string without_signature;
        start = 0;
        while (start < after.size()) {
            size_t end = after.find('\n', start);
            std::string line = after.substr(start, end - start + 1);
            if (line.find("DigitalSignature") == std::string::npos) without_signature += line;
            start = end + 1;
        }
        EXPECT_EQ(without_signature, expected);
        EXPECT_NE(after.find("DigitalSignature"), std::string::npos);
        if (std::string(c.name) == "v4.msi") {
            // 4096-byte sectors stay 4096-byte sectors (version 4).
            Bytes head = fixture::ReadFile(path);
            EXPECT_EQ(head[0x1A], 4);
            EXPECT_EQ(head[0x1E], 12);
        }
        if (std::string(c.name) != "plain.msi" && std::string(c.name) != "dse.msi") {
            EXPECT_NE(after.find("/Mid storage 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10"), std::string::npos);
        }
        // A byte of the summary's comment text changes the digest.
        SignResignTimestampTamper(path, 2, Text("quill test package"));
        ExpectSameFiles(path);
    }
}

TEST_F(Packages, AFailedTimestampLeavesThePackageAsItWas) {
    // The copy is complete when the timestamp server is asked; its failure
    // must still leave the original alone and no copy behind.
    std::string path = dir_ + "/plain.msi";
    ASSERT_EQ(Sign(path), 0);
    const Bytes before = fixture::ReadFile(path);
    std::string refused = "http://127.0.0.1:1/";
    EXPECT_EQ(SignEx2(path, "signer-ec", &refused), Code(0x80072EFD));
    EXPECT_EQ(Timestamp(path, refused), Code(0x80072EFD));
    EXPECT_EQ(fixture::ReadFile(path), before);
    ExpectOnlyFiles(3);  // in/, p.wxs, plain.msi
}

TEST_F(Packages, BrokenAndForeignCompoundFilesAreRefused) {
    Bytes good = fixture::ReadFile(dir_ + "/plain.msi");
    uint32_t first_dir = 0;
    memcpy(&first_dir, &good[0x30], 4);
    size_t root = (size_t{first_dir} + 1) * 512;
    Bytes foreign = good;  // a compound file that is no installer package
    foreign[root + 0x50] ^= 0xFF;
    ExpectRefused(Write("document.doc", foreign), kUnknownForm);

    Bytes truncated(good.begin(), good.begin() + 1024);
    Bytes bad_dir = good;
    bad_dir[0x30] = 0xF0;
    Bytes loop = good;
    memcpy(&loop[root + 0x4C], "\0\0\0\0", 4);  // the root's child is the root
    Bytes bad_shift = good;
    bad_shift[0x1E] = 10;
    for (auto [name, data] : {std::pair{"truncated.msi", truncated}, std::pair{"dir.msi", bad_dir},
                              std::pair{"loop.msi", loop}, std::pair{"shift.msi", bad_shift},
                              std::pair{"header.msi", Bytes(good.begin(), good.begin() + 100)}}) {
        SCOPED_TRACE(name);
        ExpectRefused(Write(name, data), kBadPackage);
    }
}

// libgsf is loaded when the first package is signed. When the libgsf the
// loader finds first cannot be used (a file that is no shared object, or one
// without libgsf's functions, ahead on LD_LIBRARY_PATH), a package fails with
// 8007007e and stays as it was, no copy left, while a PE file in the same run
// still signs; with the real libgsf the same run signs both.
TEST_F(Packages, WithoutAUsableLibgsfAPackageFailsAndStaysAsItWas) {
    const std::string not_elf = dir_ + "/not-elf";
    ASSERT_EQ(mkdir(not_elf.c_str(), 0755), 0);
    fixture::WriteFile(not_elf + "/" + QM_GSF_SONAME, Text("not a shared object\n"));
    const std::string msi = dir_ + "/plain.msi";
    const Bytes before = fixture::ReadFile(msi);
    const Bytes pe = fixture::ReadFile(g_world.pe32_exe);
    const struct {
        const char* name;
        std::string library_path;
    } cases[] = {{"no ELF file", not_elf}, {"no libgsf functions", QM_GSF_WITHOUT_FUNCTIONS_DIR}, {"libgsf", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string exe = Write("a.exe", pe);
        std::string env = c.library_path.empty() ? "" : "LD_LIBRARY_PATH=" + Quote(c.library_path) + " ";
        std::string out;
        int status = fixture::Run(
            "cd " + Quote(dir_) + " && " + env + Quote(QM_PROGRAM_PATH) + " /n 'Example EC Signing' a.exe plain.msi",
            &out);
        std::string log;
        EXPECT_TRUE(Verifies(exe, &log)) << log;
        if (c.library_path.empty()) {
            EXPECT_EQ(out, "QuillMark 1/2: a.exe OK\nQuillMark 2/2: plain.msi OK\n");
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(Verifies(msi, &log)) << log;
            ExpectSameFiles(msi);
        } else {
            EXPECT_EQ(out, "QuillMark 1/2: a.exe OK\nQuillMark 2/2: plain.msi FAILED 8007007e\n");
            EXPECT_EQ(status, 0x7E);  // the code's low byte
            EXPECT_EQ(fixture::ReadFile(msi), before);
            ExpectOnlyFiles(5);  // in/, p.wxs, plain.msi, a.exe, not-elf/
        }
    }
}

// ---- catalogs ---------------------------------------------------------------

TEST_F(Formats, CatalogSignedKeepsItsListAndVouchesForMembers) {
    RequireTools({"python3"});
    std::string member = Write("member.ps1", Text("Write-Output 'listed'\r\n"));
    std::string other = Write("other.ps1", Text("Write-Output 'not listed'\r\n"));
    std::string path = dir_ + "/release.cat";
    std::string log;
    ASSERT_EQ(fixture::Run("python3 " + Quote(std::string(QM_FIXTURES_DIR) + "/make_catalog.py") + " " + Quote(path) +
                               " " + Quote(member),
                           &log),
              0)
        << log;
    const Bytes unsigned_cat = fixture::ReadFile(path);
    // The list from its type OID on, without the empty signer set at the end.
    const Bytes ctl_oid = {0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0A, 0x01};
    auto list = std::search(unsigned_cat.begin(), unsigned_cat.end(), ctl_oid.begin(), ctl_oid.end());
    ASSERT_NE(list, unsigned_cat.end());
    const Bytes list_bytes(list, unsigned_cat.end() - 2);

    EXPECT_EQ(Timestamp(path, "http://127.0.0.1:1/"), kNoSignature);
    SignResignTimestampTamper(path, list_bytes.size() - 40, list_bytes);
    Bytes signed_cat = fixture::ReadFile(path);
    EXPECT_EQ(Count(signed_cat, list_bytes), 1u);
    const unsigned char* p = signed_cat.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(signed_cat.size()));
    ASSERT_NE(p7, nullptr);
    EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)), 1);
    PKCS7_free(p7);

    auto verify_member = [&](const std::string& file) {
        return fixture::Run("osslsigncode verify -CAfile " + Quote(g_world.pki + "/root.pem") + " -TSA-CAfile " +
                                Quote(g_world.pki + "/tsa-root.pem") + " -catalog " + Quote(path) + " -in " +
                                Quote(file),
                            &log) == 0;
    };
    EXPECT_TRUE(verify_member(member)) << log;
    EXPECT_FALSE(verify_member(other)) << log;
}

TEST_F(Formats, BrokenCatalogsAndOtherSignedDataAreRefused) {
    RequireTools({"python3"});
    std::string path = dir_ + "/c.cat";
    std::string log;
    ASSERT_EQ(fixture::Run("python3 " + Quote(std::string(QM_FIXTURES_DIR) + "/make_catalog.py") + " " + Quote(path) +
                               " " + Quote(g_world.pki + "/root.der"),
                           &log),
              0)
        << log;
    Bytes good = fixture::ReadFile(path);
    Bytes truncated(good.begin(), good.end() - 5);
    ExpectRefused(Write("truncated.cat", truncated), kBadCatalog);
    Bytes trailing = good;
    trailing.push_back(0);
    ExpectRefused(Write("trailing.cat", trailing), kBadCatalog);
    // A certificate bundle is SignedData too, but not a catalog.
    ASSERT_EQ(fixture::Run("openssl crl2pkcs7 -nocrl -certfile " + Quote(g_world.pki + "/root.pem") +
                               " -outform DER -out " + Quote(dir_ + "/bundle.p7b"),
                           &log),
              0)
        << log;
    ExpectRefused(dir_ + "/bundle.p7b", kUnknownForm);
}

class WorldEnvironment : public ::testing::Environment {
public:
    void SetUp() override { fixture::SetUpWorld(&g_world, &g_library, &g_missing_tool, &g_setup_error); }
    void TearDown() override { fixture::TearDownWorld(g_world); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
    ::testing::AddGlobalTestEnvironment(new WorldEnvironment);
    return RUN_ALL_TESTS();
}
