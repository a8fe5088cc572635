// The scratch world of the signing library tests (see fixture.h).
#include "fixture.h"

#include <dlfcn.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace fixture {

int Run(const std::string& command, std::string* output) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const char* name) { return Run(std::string("command -v ") + name + " >/dev/null") == 0; }

std::string MissingTool() {
    for (const char* tool : {"openssl", "certutil", "pk12util", "osslsigncode", "i686-w64-mingw32-gcc",
                             "x86_64-w64-mingw32-gcc"}) {
        if (!HaveTool(tool)) return tool;
    }
    return "";
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

namespace {

std::string MakePinDatabase(const World& w) {
    std::string db = w.pin_home + "/.pki/nssdb";
    std::string pw = w.dir + "/pw.txt";
    std::ofstream(pw) << "secret-pin\n";
    std::string log;
    std::string cmd = "mkdir -p '" + db + "' && certutil -N -d 'sql:" + db + "' -f '" + pw + "' && pk12util -i '" +
                      w.pki + "/signer-rsa.pfx' -d 'sql:" + db + "' -W test -k '" + pw + "'";
    if (Run(cmd, &log) != 0) return "password database: " + log;
    return "";
}

}  // namespace

std::string MakeWorld(World* w) {
    char tmpl[] = "/tmp/qm-mssign32-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return "mkdtemp failed";
    w->dir = tmpl;
    w->pki = w->dir + "/pki";
    w->home = w->dir + "/home";
    w->pin_home = w->dir + "/pinhome";
    std::string fixtures = QM_FIXTURES_DIR;
    std::string log;
    if (Run("bash '" + fixtures + "/make_pki.sh' '" + w->pki + "'", &log) != 0) return "make_pki.sh: " + log;
    std::string db = w->home + "/.pki/nssdb";
    if (Run("bash '" + fixtures + "/make_nssdb.sh' '" + db + "' '" + w->pki + "/signer-rsa.pfx' '" + w->pki +
                "/signer-ec.pfx' '" + w->pki + "/other-rsa.pfx'",
            &log) != 0) {
        return "make_nssdb.sh: " + log;
    }
    // A certificate in the store without its key.
    if (Run("certutil -A -d 'sql:" + db + "' -n tsa -t ,, -i '" + w->pki + "/tsa.pem'", &log) != 0) {
        return "certutil -A: " + log;
    }
    std::string error = MakePinDatabase(*w);
    if (!error.empty()) return error;
    if (HaveTool("softhsm2-util") && access("/usr/lib/softhsm/libsofthsm2.so", R_OK) == 0) {
        w->token_home = w->dir + "/tokenhome";
        if (Run("bash '" + fixtures + "/make_token.sh' '" + w->token_home + "' '" + w->pki + "'", &log) != 0) {
            return "make_token.sh: " + log;
        }
    }
    std::ofstream(w->dir + "/app.c") << "#include <stdio.h>\nint main(void) { puts(\"hello\"); return 0; }\n";
    std::ofstream(w->dir + "/lib.c") << "__declspec(dllexport) int answer(void) { return 42; }\n";
    w->pe32_exe = w->dir + "/app32.exe";
    w->pe64_dll = w->dir + "/lib64.dll";
    if (Run("i686-w64-mingw32-gcc -O1 -o '" + w->pe32_exe + "' '" + w->dir + "/app.c'", &log) != 0) {
        return "mingw i686: " + log;
    }
    if (Run("x86_64-w64-mingw32-gcc -O1 -shared -o '" + w->pe64_dll + "' '" + w->dir + "/lib.c'", &log) != 0) {
        return "mingw x86_64: " + log;
    }
    return "";
}

bool LoadLibrary(Library* library) {
    library->handle = dlopen(QM_MSSIGN32_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library->handle == nullptr) return false;
    library->sign_ex2 = reinterpret_cast<qm::PFN_SignerSignEx2>(dlsym(library->handle, "SignerSignEx2"));
    library->sign = reinterpret_cast<qm::PFN_SignerSign>(dlsym(library->handle, "SignerSign"));
    library->timestamp_ex2 =
        reinterpret_cast<qm::PFN_SignerTimeStampEx2>(dlsym(library->handle, "SignerTimeStampEx2"));
    return library->sign_ex2 != nullptr && library->sign != nullptr && library->timestamp_ex2 != nullptr;
}

void SetUpWorld(World* world, Library* library, std::string* missing_tool, std::string* error) {
    *missing_tool = MissingTool();
    if (!missing_tool->empty()) return;
    *error = MakeWorld(world);
    if (error->empty() && !LoadLibrary(library)) *error = "cannot load " QM_MSSIGN32_PATH;
}

void TearDownWorld(const World& world) {
    if (!world.dir.empty() && getenv("QM_KEEP_SCRATCH") == nullptr) Run("rm -rf '" + world.dir + "'");
}

bool StartTsa(const World& w, const std::string& mode, int requests, int seconds, TsaServer* server) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::string cert = w.pki + "/tsa.pem", key = w.pki + "/tsa.key", chain = w.pki + "/tsa-chain.pem";
        std::string n = std::to_string(requests), t = std::to_string(seconds);
        execl(QM_TSA_SERVER_PATH, "tsa_server", "--cert", cert.c_str(), "--key", key.c_str(), "--chain",
              chain.c_str(), "--mode", mode.c_str(), "--requests", n.c_str(), "--seconds", t.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char line[32] = {0};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof line) - 1) {
        ssize_t n = read(fds[0], line + got, 1);
        if (n <= 0 || line[got] == '\n') break;
        got += n;
    }
    close(fds[0]);
    server->pid = pid;
    server->port = atoi(line);
    if (server->port <= 0) {
        StopTsa(server);
        return false;
    }
    return true;
}

void StopTsa(TsaServer* server) {
    if (server->pid <= 0) return;
    int status = 0;
    if (waitpid(server->pid, &status, WNOHANG) == 0) {
        kill(server->pid, SIGTERM);
        waitpid(server->pid, &status, 0);
    }
    server->pid = -1;
}

bool VerifiesWithOsslsigncode(const World& w, const std::string& path, std::string* output) {
    int rc = Run("osslsigncode verify -CAfile '" + w.pki + "/root.pem' -TSA-CAfile '" + w.pki + "/tsa-root.pem' -in '" +
                     path + "'",
                 output);
    auto value = [output](const char* label) {
        size_t at = output->find(label);
        if (at == std::string::npos) return std::string();
        size_t end = output->find('\n', at);
        return output->substr(at + strlen(label), end - at - strlen(label));
    };
    std::string current = value("Current message digest    :");
    std::string calculated = value("Calculated message digest :");
    return rc == 0 && !current.empty() && current == calculated;
}

bool ReadEmbeddedSignature(const std::string& path, EmbeddedSignature* out) {
    Bytes f = ReadFile(path);
    auto u32 = [&f](size_t at) {
        uint32_t v = 0;
        if (at + 4 <= f.size()) memcpy(&v, &f[at], 4);
        return v;
    };
    if (f.size() < 0x40) return false;
    uint32_t pe = u32(0x3C);
    if (pe + 26 > f.size()) return false;
    bool plus = f[pe + 24] == 0x0B && f[pe + 25] == 0x02;
    size_t dir = pe + (plus ? 168 : 152);
    uint32_t offset = u32(dir), size = u32(dir + 4);
    if (offset == 0 || size < 8 || uint64_t{offset} + size > f.size()) return false;
    uint32_t length = u32(offset);
    if (length < 8 || length > size) return false;
    const unsigned char* p = f.data() + offset + 8;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, length - 8);
    if (p7 == nullptr || !PKCS7_type_is_signed(p7)) return false;
    out->certificates.clear();
    for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509(sk_X509_value(p7->d.sign->cert, i), &der);
        out->certificates.push_back(Bytes(der, der + n));
        OPENSSL_free(der);
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    out->signer_count = sk_PKCS7_SIGNER_INFO_num(infos);
    out->timestamped = false;
    if (out->signer_count > 0) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
        for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
            char text[64];
            OBJ_obj2txt(text, sizeof text, X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->unauth_attr, i)), 1);
            if (strcmp(text, "1.3.6.1.4.1.311.3.3.1") == 0) out->timestamped = true;
        }
    }
    PKCS7_free(p7);
    return true;
}

}  // namespace fixture
