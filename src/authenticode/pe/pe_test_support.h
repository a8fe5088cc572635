// Shared fixtures for the PE engine tests: scratch directories, PE files
// built with mingw-w64 at test time, a throwaway code-signing PKI, a real
// Authenticode PKCS#7 maker, and the independent oracles (osslsigncode and a
// python checksum) the results are checked against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe_test {

bool HaveTool(const std::string& name);
int RunCommand(const std::string& command, std::string* output = nullptr);  // exit status; stdout+stderr
std::string Quote(const std::string& text);

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset);
std::string Hex(const uint8_t* data, size_t size);
// The names in a directory, without "." and "..", sorted.
std::vector<std::string> DirEntries(const std::string& dir);

// A directory removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

enum class PeKind { kExe32, kDll64 };

// Builds a small PE (PE32 exe with i686 mingw, PE32+ dll with x86-64 mingw)
// at `path`, with `appended` bytes of patterned data after the last section.
// False when the compiler is missing or fails.
bool BuildPe(PeKind kind, const std::string& path, size_t appended = 0);
bool HaveMingw(PeKind kind);

// A throwaway ECDSA root and code-signing leaf made with the openssl tool.
struct Signer {
    std::string root_pem;  // for osslsigncode -CAfile
    std::string leaf_pem;
    std::string key_pem;
};
bool MakeSigner(const std::string& dir, Signer* signer);

// A real Authenticode SignedData (SpcIndirectDataContent over `digest`)
// signed by the leaf, as DER.
bool MakeAuthenticodeSignature(const Signer& signer, const uint8_t digest[32], std::vector<uint8_t>* der);

// The SignatureMaker context for the tests: what the engine passed, and what
// to answer.
struct MakerLog {
    const Signer* signer = nullptr;  // null: answer with a dummy blob
    int32_t result = 0;
    int calls = 0;
    uint8_t digest[32] = {};
    std::vector<uint8_t> existing;
    size_t signature_size = 0;  // of the signature answered
};
int32_t TestMaker(const uint8_t digest[32], const std::vector<uint8_t>& existing,
                  std::vector<uint8_t>* signature, void* context);

// osslsigncode verify: the exit status, and the two digests it prints
// (upper-case hex; empty when absent).
struct Verification {
    int status = -1;
    std::string current;
    std::string calculated;
    std::string checksum;  // the "PE checksum" line
    std::string output;
};
// osslsigncode sign -h sha256 of `in` into `out` with the leaf.
bool OsslSign(const Signer& signer, const std::string& in, const std::string& out);
Verification OsslVerify(const std::string& file, const std::string& root_pem);

// The PE checksum of a file computed word by word in python, independently
// of the engine.
bool PythonChecksum(const std::string& file, uint32_t* checksum);

}  // namespace pe_test
