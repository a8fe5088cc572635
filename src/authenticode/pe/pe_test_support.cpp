// Test fixtures for the PE engine (see the header).
#include "authenticode/pe/pe_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pe_test {

bool HaveTool(const std::string& name) {
    return RunCommand("command -v " + Quote(name) + " >/dev/null 2>&1") == 0;
}

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

int RunCommand(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (output) output->append(buffer, n);
    }
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Hex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qm-pe-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    // Tests lock directories; open them again so that everything can go.
    std::error_code error;
    namespace fs = std::filesystem;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        }
    }
    fs::remove_all(path_, error);
}

namespace {

const char* Compiler(PeKind kind) {
    return kind == PeKind::kExe32 ? "i686-w64-mingw32-gcc" : "x86_64-w64-mingw32-gcc";
}

}  // namespace

bool HaveMingw(PeKind kind) { return HaveTool(Compiler(kind)); }

bool BuildPe(PeKind kind, const std::string& path, size_t appended) {
    std::string source = path + ".c";
    WriteFile(source, [&] {
        std::string text = kind == PeKind::kExe32
            ? "#include <stdio.h>\nint main(void) { puts(\"quillmark test\"); return 0; }\n"
            : "__declspec(dllexport) int quillmark_test(int x) { return x * 3 + 1; }\n";
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    std::string flags = kind == PeKind::kExe32 ? "-O2 -s" : "-O2 -s -shared";
    if (RunCommand(std::string(Compiler(kind)) + " " + flags + " " + Quote(source) + " -o " + Quote(path)) != 0) {
        return false;
    }
    std::remove(source.c_str());
    if (appended > 0) {
        std::vector<uint8_t> bytes = ReadFile(path);
        for (size_t i = 0; i < appended; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + 1));
        WriteFile(path, bytes);
    }
    return true;
}

bool MakeSigner(const std::string& dir, Signer* signer) {
    signer->root_pem = dir + "/root.pem";
    signer->leaf_pem = dir + "/leaf.pem";
    signer->key_pem = dir + "/leaf.key";
    std::string d = Quote(dir);
    std::string script =
        "set -e; cd " + d + ";"
        "printf '[leaf]\\nbasicConstraints=critical,CA:FALSE\\nkeyUsage=critical,digitalSignature\\n"
        "extendedKeyUsage=codeSigning\\n' > ext.cnf;"
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out root.key;"
        "openssl req -new -x509 -key root.key -subj '/CN=PE Test Root' -days 30 -sha256"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -out root.pem;"
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out leaf.key;"
        "openssl req -new -key leaf.key -subj '/CN=PE Test Signer' -out leaf.csr;"
        "openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 -sha256"
        " -extfile ext.cnf -extensions leaf -out leaf.pem";
    std::string output;
    return RunCommand("bash -c " + Quote(script), &output) == 0;
}

namespace {

// SpcIndirectDataContent {SpcAttributeTypeAndOptionalValue {SPC_PE_IMAGE_DATA,
// SpcPeImageData {flags '', file [0] {[2] {[0] "<<<Obsolete>>>"}}}},
// DigestInfo {sha256, digest}}, written out by hand.
std::vector<uint8_t> IndirectDataContent(const uint8_t digest[32]) {
    std::vector<uint8_t> der = {
        0x30, 0x68,
        0x30, 0x33,
        0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F,
        0x30, 0x25,
        0x03, 0x01, 0x00,
        0xA0, 0x20, 0xA2, 0x1E, 0x80, 0x1C};
    for (char c : std::string("<<<Obsolete>>>")) {
        der.push_back(0);
        der.push_back(static_cast<uint8_t>(c));
    }
    const uint8_t digest_info[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                   0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    der.insert(der.end(), std::begin(digest_info), std::end(digest_info));
    der.insert(der.end(), digest, digest + 32);
    return der;
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

template <typename T>
T* ReadPem(const std::string& path, T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
    Owned<BIO, BIO_free_all> bio(BIO_new_file(path.c_str(), "r"));
    return bio ? read(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

}  // namespace

bool MakeAuthenticodeSignature(const Signer& signer, const uint8_t digest[32], std::vector<uint8_t>* der) {
    Owned<X509, X509_free> cert(ReadPem<X509>(signer.leaf_pem, PEM_read_bio_X509));
    Owned<EVP_PKEY, EVP_PKEY_free> key(ReadPem<EVP_PKEY>(signer.key_pem, PEM_read_bio_PrivateKey));
    if (!cert || !key) return false;
    std::vector<uint8_t> content = IndirectDataContent(digest);

    Owned<PKCS7, PKCS7_free> p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return false;
    PKCS7_SIGNER_INFO* info = PKCS7_add_signature(p7.get(), cert.get(), key.get(), EVP_sha256());
    if (info == nullptr) return false;
    ASN1_OBJECT* spc_indirect = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
    if (!PKCS7_add_signed_attribute(info, NID_pkcs9_contentType, V_ASN1_OBJECT, spc_indirect)) return false;
    if (!PKCS7_add_certificate(p7.get(), cert.get())) return false;

    // Sign over the content without its outer tag and length, as Authenticode
    // does, then put the real content type and content in place.
    if (!PKCS7_content_new(p7.get(), NID_pkcs7_data)) return false;
    BIO* bio = PKCS7_dataInit(p7.get(), nullptr);
    if (bio == nullptr) return false;
    BIO_write(bio, content.data() + 2, static_cast<int>(content.size() - 2));
    bool signed_ok = PKCS7_dataFinal(p7.get(), bio) == 1;
    BIO_free_all(bio);
    if (!signed_ok) return false;

    PKCS7* inner = PKCS7_new();
    inner->type = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
    inner->d.other = ASN1_TYPE_new();
    ASN1_STRING* sequence = ASN1_STRING_new();
    ASN1_STRING_set(sequence, content.data(), static_cast<int>(content.size()));
    ASN1_TYPE_set(inner->d.other, V_ASN1_SEQUENCE, sequence);
    PKCS7_free(p7->d.sign->contents);
    p7->d.sign->contents = inner;

    int size = i2d_PKCS7(p7.get(), nullptr);
    if (size <= 0) return false;
    der->resize(static_cast<size_t>(size));
    uint8_t* out = der->data();
    return i2d_PKCS7(p7.get(), &out) == size;
}

int32_t TestMaker(const uint8_t digest[32], const std::vector<uint8_t>& existing,
                  std::vector<uint8_t>* signature, void* context) {
    MakerLog* log = static_cast<MakerLog*>(context);
    ++log->calls;
    std::memcpy(log->digest, digest, 32);
    log->existing = existing;
    if (log->result != 0) return log->result;
    if (log->signer != nullptr) {
        if (!MakeAuthenticodeSignature(*log->signer, digest, signature)) return static_cast<int32_t>(0x80004005u);
    } else {
        // A DER SEQUENCE of 61 bytes: an odd size, so the table needs padding.
        signature->assign(61, 0x5A);
        (*signature)[0] = 0x30;
        (*signature)[1] = 59;
    }
    log->signature_size = signature->size();
    return 0;
}

namespace {

std::string FieldAfter(const std::string& text, const std::string& label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return "";
    at = text.find(':', at);
    if (at == std::string::npos) return "";
    size_t begin = text.find_first_not_of(' ', at + 1);
    size_t end = text.find_first_of(" \n", begin);
    return begin == std::string::npos ? "" : text.substr(begin, end - begin);
}

}  // namespace

bool OsslSign(const Signer& signer, const std::string& in, const std::string& out) {
    return RunCommand("osslsigncode sign -h sha256 -certs " + Quote(signer.leaf_pem) + " -key " +
                      Quote(signer.key_pem) + " -in " + Quote(in) + " -out " + Quote(out)) == 0;
}

Verification OsslVerify(const std::string& file, const std::string& root_pem) {
    Verification v;
    v.status = RunCommand("osslsigncode verify -CAfile " + Quote(root_pem) + " -in " + Quote(file), &v.output);
    v.current = FieldAfter(v.output, "Current message digest");
    v.calculated = FieldAfter(v.output, "Calculated message digest");
    v.checksum = FieldAfter(v.output, "PE checksum");
    return v;
}

bool PythonChecksum(const std::string& file, uint32_t* checksum) {
    // The textbook loop: 16-bit words, carry folded after every add, the
    // CheckSum field read as zero, the file length added at the end.
    static const char kScript[] =
        "import sys,struct\n"
        "d=bytearray(open(sys.argv[1],'rb').read())\n"
        "n=len(d)\n"
        "e=struct.unpack_from('<I',d,0x3c)[0]\n"
        "d[e+88:e+92]=bytes(4)\n"
        "if n%2: d.append(0)\n"
        "s=0\n"
        "for (w,) in struct.iter_unpack('<H',d):\n"
        "    s+=w\n"
        "    s=(s&0xffff)+(s>>16)\n"
        "print((s+n)&0xffffffff)\n";
    std::string output;
    if (RunCommand("python3 -c " + Quote(kScript) + " " + Quote(file), &output) != 0) return false;
    *checksum = static_cast<uint32_t>(std::strtoul(output.c_str(), nullptr, 10));
    return true;
}

}  // namespace pe_test
