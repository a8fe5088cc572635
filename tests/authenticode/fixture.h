// Shared setup of the signing library tests: a throwaway PKI, NSS
// databases in scratch home directories, PE files built with mingw-w64,
// the loopback timestamp server, and the records as the program fills them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "program_records.h"

namespace fixture {

typedef std::vector<uint8_t> Bytes;

// Runs a shell command; its exit status (-1 when it could not run).
int Run(const std::string& command, std::string* output = nullptr);
bool HaveTool(const char* name);
// The tools these tests need, or the first one missing.
std::string MissingTool();

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);

// The scratch world, made once per test program.
struct World {
    std::string dir;        // scratch root
    std::string pki;        // make_pki.sh output
    std::string home;       // HOME with .pki/nssdb holding the signers
    std::string pin_home;   // HOME whose database has a password
    std::string token_home; // HOME with keys on a SoftHSM2 token (make_token.sh); empty without SoftHSM2
    std::string pe32_exe;   // pristine PE32 executable
    std::string pe64_dll;   // pristine PE32+ DLL
};
// Builds the world; empty string on success, else what went wrong.
std::string MakeWorld(World* world);

// The signing library, bound as the program binds it.
struct Library {
    void* handle = nullptr;
    qm::PFN_SignerSignEx2 sign_ex2 = nullptr;
    qm::PFN_SignerSign sign = nullptr;
    qm::PFN_SignerTimeStampEx2 timestamp_ex2 = nullptr;
};
bool LoadLibrary(Library* library);

// Once before a test binary's first test: finds a missing tool (then stops
// there), else makes the world and loads the library, leaving in `error`
// why either failed.
void SetUpWorld(World* world, Library* library, std::string* missing_tool, std::string* error);
// Removes the world's scratch folder, unless QM_KEEP_SCRATCH is set.
void TearDownWorld(const World& world);


// The loopback timestamp server in one mode.
struct TsaServer {
    pid_t pid = -1;
    int port = 0;
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/tsa"; }
};
bool StartTsa(const World& world, const std::string& mode, int requests, int seconds, TsaServer* server);
void StopTsa(TsaServer* server);

// osslsigncode verify against the test roots; true when it accepts the
// file with equal current and calculated digests.
bool VerifiesWithOsslsigncode(const World& world, const std::string& path, std::string* output);

// What a signed file's signature holds, read from its certificate table.
struct EmbeddedSignature {
    std::vector<Bytes> certificates;  // DER, in the order stored
    int signer_count = 0;
    bool timestamped = false;         // an RFC 3161 token on the first signer
};
bool ReadEmbeddedSignature(const std::string& path, EmbeddedSignature* out);

}  // namespace fixture
