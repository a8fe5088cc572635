// Signing real PE files: mingw-w64 images built at test time, checked
// against osslsigncode (digest and full verification) and an independent
// checksum; and the guarantee that any failure leaves the file as it was.
#include "authenticode/pe/pe_sign.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "authenticode/pe/pe_stream.h"
#include "authenticode/pe/pe_test_support.h"

namespace authenticode {
namespace {

using namespace pe_test;

constexpr int32_t kNotPe = static_cast<int32_t>(0x800B0003u);
constexpr int32_t kBroken = static_cast<int32_t>(0x800700C1u);
constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);
constexpr int32_t kPathNotFound = static_cast<int32_t>(0x80070003u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kDiskFull = static_cast<int32_t>(0x80070070u);
constexpr int32_t kTooLarge = static_cast<int32_t>(0x800700DFu);
constexpr int32_t kTimeStampFailed = static_cast<int32_t>(0x80096005u);

std::string DigestHex(const std::string& path) {
    uint8_t digest[32];
    if (ComputePeDigest(path, digest) != 0) return "error";
    return Hex(digest, 32);
}

struct Layout {
    uint32_t pe, checksum_at, entry_at;
};
Layout LayoutOf(const std::vector<uint8_t>& b) {
    uint32_t pe = Le32At(b, 0x3C);
    bool plus = b[pe + 24] == 0x0b && b[pe + 25] == 0x02;
    return {pe, pe + 88, pe + (plus ? 168u : 152u)};
}

// Every fixture needs the mingw compilers; the oracle tests osslsigncode and
// openssl too.
class PeSignTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMingw(PeKind::kExe32) || !HaveMingw(PeKind::kDll64)) GTEST_SKIP() << "mingw-w64 not installed";
        ASSERT_FALSE(dir_.path().empty());
    }
    void NeedOracle() {
        if (!HaveTool("osslsigncode") || !HaveTool("openssl") || !HaveTool("python3")) {
            GTEST_SKIP() << "osslsigncode, openssl or python3 not installed";
        }
        ASSERT_TRUE(MakeSigner(dir_.path(), &signer_));
    }
    // A base image of each kind, then copies with 0..15 bytes appended after
    // the last section (every length modulo 8, with and without trailing data).
    std::vector<std::string> Variants(size_t lengths = 16) {
        std::vector<std::string> files;
        for (PeKind kind : {PeKind::kExe32, PeKind::kDll64}) {
            std::string base = dir_.File(kind == PeKind::kExe32 ? "base32.exe" : "base64.dll");
            EXPECT_TRUE(BuildPe(kind, base));
            std::vector<uint8_t> bytes = ReadFile(base);
            for (size_t extra = 0; extra < lengths; ++extra) {
                std::string name = dir_.File(std::string(kind == PeKind::kExe32 ? "v32-" : "v64-") +
                                             std::to_string(extra) + (kind == PeKind::kExe32 ? ".exe" : ".dll"));
                std::vector<uint8_t> v = bytes;
                for (size_t i = 0; i < extra; ++i) v.push_back(static_cast<uint8_t>(0xA0 + i));
                WriteFile(name, v);
                files.push_back(name);
            }
        }
        return files;
    }
    // The new file must be the old content, padding, and one table, with
    // directory 4 and the checksum patched.
    void ExpectWellFormed(const std::vector<uint8_t>& before, const std::string& file, size_t signature_size) {
        std::vector<uint8_t> after = ReadFile(file);
        Layout l = LayoutOf(before);
        size_t table = (before.size() + 7) & ~size_t{7};
        ASSERT_GE(after.size(), table + 8);
        for (size_t i = 0; i < before.size(); ++i) {
            bool patched = (i >= l.checksum_at && i < l.checksum_at + 4) || (i >= l.entry_at && i < l.entry_at + 8);
            if (!patched && after[i] != before[i]) FAIL() << "content changed at " << i;
        }
        for (size_t i = before.size(); i < table; ++i) EXPECT_EQ(after[i], 0) << "padding at " << i;
        size_t table_size = (8 + signature_size + 7) & ~size_t{7};
        EXPECT_EQ(after.size(), table + table_size);
        EXPECT_EQ(Le32At(after, l.entry_at), table);
        EXPECT_EQ(Le32At(after, l.entry_at + 4), table_size);
        EXPECT_EQ(Le32At(after, table), table_size);
        EXPECT_EQ(Le32At(after, table + 4), 0x00020200u);  // revision 0x0200, type PKCS#7
        uint32_t expected = 0;
        ASSERT_TRUE(PythonChecksum(file, &expected));
        EXPECT_EQ(Le32At(after, l.checksum_at), expected) << "PE checksum";
    }

    ScratchDir dir_;
    Signer signer_;
};

TEST_F(PeSignTest, DigestMatchesOsslsigncodeForEveryLength) {
    NeedOracle();
    for (const std::string& file : Variants()) {
        SCOPED_TRACE(file);
        std::string signed_file = file + ".ossl";
        ASSERT_TRUE(OsslSign(signer_, file, signed_file));
        Verification v = OsslVerify(signed_file, signer_.root_pem);
        ASSERT_FALSE(v.current.empty()) << v.output;
        EXPECT_EQ(DigestHex(file), v.current);
        // The file signed by another tool gives the same digest: its table and
        // padding are dropped exactly.
        EXPECT_EQ(DigestHex(signed_file), v.current);
    }
}

TEST_F(PeSignTest, SignedFilesVerifyWithOsslsigncode) {
    NeedOracle();
    for (const std::string& file : Variants()) {
        SCOPED_TRACE(file);
        std::vector<uint8_t> before = ReadFile(file);
        std::string digest = DigestHex(file);
        MakerLog log;
        log.signer = &signer_;
        ASSERT_EQ(RewritePeSignature(file, TestMaker, &log), 0);
        EXPECT_EQ(log.calls, 1);
        EXPECT_TRUE(log.existing.empty());
        EXPECT_EQ(Hex(log.digest, 32), digest);
        Verification v = OsslVerify(file, signer_.root_pem);
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(v.current, digest);
        EXPECT_EQ(v.calculated, digest);
        ExpectWellFormed(before, file, log.signature_size);
    }
}

TEST_F(PeSignTest, ResigningReplacesTheSignatureAndKeepsTheDigest) {
    NeedOracle();
    for (const std::string& file : Variants(3)) {
        SCOPED_TRACE(file);
        std::vector<uint8_t> before = ReadFile(file);
        MakerLog first;  // a dummy signature first, then a real one over it
        ASSERT_EQ(RewritePeSignature(file, TestMaker, &first), 0);
        ExpectWellFormed(before, file, 61);
        std::vector<uint8_t> once = ReadFile(file);

        MakerLog second;
        second.signer = &signer_;
        ASSERT_EQ(RewritePeSignature(file, TestMaker, &second), 0);
        EXPECT_EQ(Hex(second.digest, 32), Hex(first.digest, 32));
        ASSERT_EQ(second.existing.size(), 61u);  // the old signature, cut to its DER length
        EXPECT_EQ(second.existing[0], 0x30);
        Verification v = OsslVerify(file, signer_.root_pem);
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(v.calculated, Hex(first.digest, 32));

        // A third signing over the real one: same digest again, one table only.
        MakerLog third;
        third.signer = &signer_;
        ASSERT_EQ(RewritePeSignature(file, TestMaker, &third), 0);
        EXPECT_EQ(Hex(third.digest, 32), Hex(first.digest, 32));
        EXPECT_FALSE(third.existing.empty());
        EXPECT_EQ(OsslVerify(file, signer_.root_pem).status, 0);
        std::vector<uint8_t> thrice = ReadFile(file);
        size_t content = Le32At(once, LayoutOf(once).entry_at);
        EXPECT_TRUE(std::equal(once.begin(), once.begin() + LayoutOf(once).checksum_at, thrice.begin()));
        EXPECT_EQ(Le32At(thrice, LayoutOf(thrice).entry_at), content);
    }
}

TEST_F(PeSignTest, ResignsAFileSignedByAnotherTool) {
    NeedOracle();
    std::string file = Variants(6)[5];
    std::string signed_file = file + ".ossl";
    ASSERT_TRUE(OsslSign(signer_, file, signed_file));
    std::string digest = OsslVerify(signed_file, signer_.root_pem).current;
    MakerLog log;
    log.signer = &signer_;
    ASSERT_EQ(RewritePeSignature(signed_file, TestMaker, &log), 0);
    EXPECT_FALSE(log.existing.empty());
    Verification v = OsslVerify(signed_file, signer_.root_pem);
    EXPECT_EQ(v.status, 0) << v.output;
    EXPECT_EQ(v.calculated, digest);
}

TEST_F(PeSignTest, AnyMachineAndSubsystem) {
    NeedOracle();
    // The x64 dll relabelled as an ARM64 EFI application and as an x86 driver:
    // the digest does not depend on what the image is for.
    std::string base = dir_.File("base.dll");
    ASSERT_TRUE(BuildPe(PeKind::kDll64, base));
    struct Case {
        const char* name;
        uint16_t machine, subsystem;
    } cases[] = {{"arm64.efi", 0xAA64, 10}, {"driver.sys", 0x8664, 1}};
    for (const Case& c : cases) {
        std::vector<uint8_t> b = ReadFile(base);
        Layout l = LayoutOf(b);
        b[l.pe + 4] = static_cast<uint8_t>(c.machine);
        b[l.pe + 5] = static_cast<uint8_t>(c.machine >> 8);
        b[l.pe + 24 + 68] = static_cast<uint8_t>(c.subsystem);
        std::string file = dir_.File(c.name);
        WriteFile(file, b);
        EXPECT_EQ(ProbePeFile(file), 0);
        MakerLog log;
        log.signer = &signer_;
        ASSERT_EQ(RewritePeSignature(file, TestMaker, &log), 0);
        EXPECT_EQ(OsslVerify(file, signer_.root_pem).status, 0) << c.name;
    }
}

TEST_F(PeSignTest, ChunkingAndThreadingDoNotChangeTheResult) {
    std::string file = dir_.File("chunks.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, file, 12345));
    PeLayout layout;
    std::vector<uint8_t> bytes = ReadFile(file);
    ASSERT_EQ(ParsePeLayout(bytes.data(), bytes.size(), bytes.size(), &layout), 0);
    int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t reference[32];
    PeChecksum reference_sum;
    ASSERT_EQ(StreamPeContent(fd, -1, layout, PeStreamOptions{}, reference, &reference_sum), 0);
    // Chunk sizes that split the skipped fields and the words in every way.
    for (size_t chunk : {8u, 16u, 24u, 40u, 88u, 152u, 4096u, 65536u}) {
        for (bool threaded : {false, true}) {
            for (size_t count : {1u, 3u}) {
                PeStreamOptions options;
                options.chunk_size = chunk;
                options.chunk_count = count;
                options.hash_thread = threaded;
                uint8_t digest[32];
                PeChecksum sum;
                ASSERT_EQ(StreamPeContent(fd, -1, layout, options, digest, &sum), 0);
                EXPECT_EQ(Hex(digest, 32), Hex(reference, 32)) << chunk << " " << threaded;
                EXPECT_EQ(FinishChecksum(sum, 1), FinishChecksum(reference_sum, 1));
            }
        }
    }
    close(fd);
}

// Each case makes a file; signing it must fail with the code, leave the
// bytes alone, leave no temporary file and (for bad formats) not ask for a
// signature.
TEST_F(PeSignTest, FailuresLeaveTheFileUntouched) {
    std::string exe = dir_.File("good.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, exe, 5));
    std::vector<uint8_t> good = ReadFile(exe);
    Layout l = LayoutOf(good);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t maker_result;
        int32_t expected;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, 0, kNotPe});
    cases.push_back({"text", std::vector<uint8_t>(300, 'a'), 0, kNotPe});
    cases.push_back({"truncated headers", std::vector<uint8_t>(good.begin(), good.begin() + l.pe + 60), 0, kBroken});
    {
        std::vector<uint8_t> b = good;
        b[0x3C] = 0xFF;
        b[0x3F] = 0x7F;
        cases.push_back({"e_lfanew out of range", b, 0, kBroken});
    }
    {
        std::vector<uint8_t> b = good;
        b[l.pe + 24 + 92] = 4;  // NumberOfRvaAndSizes of a PE32
        b[l.pe + 24 + 93] = b[l.pe + 24 + 94] = b[l.pe + 24 + 95] = 0;
        cases.push_back({"four data directories", b, 0, kBroken});
    }
    {
        std::vector<uint8_t> b = good;
        b[l.pe + 6] = 0xFF;
        b[l.pe + 7] = 0xFF;
        cases.push_back({"section table past the end", b, 0, kBroken});
    }
    {
        std::vector<uint8_t> b = good;
        uint32_t at = static_cast<uint32_t>(b.size()) - 16;
        for (int i = 0; i < 4; ++i) b[l.entry_at + i] = static_cast<uint8_t>(at >> (8 * i));
        b[l.entry_at + 4] = 8;  // ends 8 bytes before the end of the file
        cases.push_back({"table not at the end", b, 0, kBroken});
        b[l.entry_at + 4] = 64;
        cases.push_back({"table outside the file", b, 0, kBroken});
    }
    cases.push_back({"maker fails", good, kTimeStampFailed, kTimeStampFailed});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        std::string file = scratch.File("subject.exe");
        WriteFile(file, c.bytes);
        MakerLog log;
        log.result = c.maker_result;
        EXPECT_EQ(RewritePeSignature(file, TestMaker, &log), c.expected);
        EXPECT_EQ(ReadFile(file), c.bytes);
        EXPECT_EQ(DirEntries(scratch.path()), std::vector<std::string>{"subject.exe"});
        if (c.maker_result == 0) {
            EXPECT_EQ(log.calls, 0);
            EXPECT_EQ(ProbePeFile(file), c.expected);
        }
    }
}

TEST_F(PeSignTest, FileErrorsGetTheirCodes) {
    std::string exe = dir_.File("x.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, exe));
    EXPECT_EQ(ProbePeFile(exe), 0);
    mkdir(dir_.File("sub").c_str(), 0755);
    symlink("nowhere.exe", dir_.File("dangling.exe").c_str());
    struct Case {
        std::string path;
        int32_t expected;
    } cases[] = {
        {dir_.File("missing.exe"), kFileNotFound},
        {dir_.File("dangling.exe"), kFileNotFound},
        {dir_.File("no-such-dir/x.exe"), kPathNotFound},
        {exe + "/x.exe", kPathNotFound},
        {dir_.File("sub"), kAccessDenied},
        {"", kPathNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        MakerLog log;
        EXPECT_EQ(RewritePeSignature(c.path, TestMaker, &log), c.expected);
        EXPECT_EQ(ProbePeFile(c.path), c.expected);
        EXPECT_EQ(log.calls, 0);
    }
    EXPECT_EQ(RewritePeSignature(exe, nullptr, nullptr), static_cast<int32_t>(0x80070057u));
}

// Runs `body` as an unprivileged user when we are root (root writes anywhere),
// returning its HRESULT.
int32_t AsUnprivileged(const std::function<int32_t()>& body) {
    if (geteuid() != 0) return body();
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        int32_t hr = -1;
        if (setgid(65534) == 0 && setuid(65534) == 0) hr = body();
        ssize_t written = write(pipe_fds[1], &hr, sizeof hr);
        _exit(written == sizeof hr ? 0 : 1);
    }
    close(pipe_fds[1]);
    int32_t hr = -1;
    ssize_t got = read(pipe_fds[0], &hr, sizeof hr);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got == sizeof hr ? hr : -1;
}

TEST_F(PeSignTest, ReadOnlyFileOrDirectoryIsAccessDenied) {
    // A file without write bits; a file we may not write; a directory we may not write in.
    std::string ro = dir_.File("ro.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, ro));
    chmod(ro.c_str(), 0444);
    std::vector<uint8_t> before = ReadFile(ro);
    MakerLog log;
    EXPECT_EQ(RewritePeSignature(ro, TestMaker, &log), kAccessDenied);
    EXPECT_EQ(ReadFile(ro), before);

    chmod(dir_.path().c_str(), 0755);
    std::string theirs = dir_.File("theirs.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, theirs));
    chmod(theirs.c_str(), 0644);
    std::string locked = dir_.File("locked");
    mkdir(locked.c_str(), 0777);
    std::string inside = locked + "/in.exe";
    ASSERT_TRUE(BuildPe(PeKind::kExe32, inside));
    chmod(inside.c_str(), 0666);
    chmod(locked.c_str(), 0555);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    EXPECT_EQ(AsUnprivileged([&] {
        MakerLog l;
        return RewritePeSignature(theirs, TestMaker, &l);
    }), kAccessDenied);
    EXPECT_EQ(AsUnprivileged([&] {
        MakerLog l;
        return RewritePeSignature(inside, TestMaker, &l);
    }), kAccessDenied);
    EXPECT_EQ(DirEntries(locked), std::vector<std::string>{"in.exe"});
}

TEST_F(PeSignTest, KeepsModeAndFollowsSymbolicLinks) {
    std::string target = dir_.File("real.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, target));
    chmod(target.c_str(), 0751);
    std::string link = dir_.File("link.exe");
    ASSERT_EQ(symlink("real.exe", link.c_str()), 0);
    MakerLog log;
    ASSERT_EQ(RewritePeSignature(link, TestMaker, &log), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    std::vector<uint8_t> signed_bytes = ReadFile(target);
    EXPECT_NE(Le32At(signed_bytes, LayoutOf(signed_bytes).entry_at), 0u);
    EXPECT_EQ(DirEntries(dir_.path()), (std::vector<std::string>{"link.exe", "real.exe"}));

    // Someone else's file, signed by root, stays theirs.
    if (geteuid() != 0) return;
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(RewritePeSignature(target, TestMaker, &log), 0);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST_F(PeSignTest, FileChangedWhileSigningIsNotReplaced) {
    std::string file = dir_.File("moving.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, file));
    struct Context {
        std::string path;
    } context{file};
    auto maker = [](const uint8_t*, const std::vector<uint8_t>&, std::vector<uint8_t>* sig, void* c) -> int32_t {
        std::string path = static_cast<Context*>(c)->path;
        std::vector<uint8_t> b = ReadFile(path);
        b.push_back(1);
        WriteFile(path, b);
        sig->assign({0x30, 0x00});
        return 0;
    };
    std::vector<uint8_t> changed = ReadFile(file);
    changed.push_back(1);
    EXPECT_EQ(RewritePeSignature(file, maker, &context), static_cast<int32_t>(0x80070020u));
    EXPECT_EQ(ReadFile(file), changed);
    EXPECT_EQ(DirEntries(dir_.path()), std::vector<std::string>{"moving.exe"});
}

TEST_F(PeSignTest, NoCopyIsVisibleWhileTheSignatureIsMade) {
    // The maker may wait on a timestamp server; a process killed then must
    // leave nothing in the directory, so the copy has no name yet.
    std::string file = dir_.File("quiet.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, file));
    struct Context {
        std::string dir;
        std::vector<std::string> seen;
    } context{dir_.path(), {}};
    auto maker = [](const uint8_t*, const std::vector<uint8_t>&, std::vector<uint8_t>* sig, void* c) -> int32_t {
        Context* ctx = static_cast<Context*>(c);
        ctx->seen = DirEntries(ctx->dir);
        sig->assign({0x30, 0x00});
        return 0;
    };
    ASSERT_EQ(RewritePeSignature(file, maker, &context), 0);
    EXPECT_EQ(context.seen, std::vector<std::string>{"quiet.exe"});
    EXPECT_EQ(DirEntries(dir_.path()), std::vector<std::string>{"quiet.exe"});
}

TEST_F(PeSignTest, RefusesFilesPastTheFormatLimit) {
    // A sparse file with real headers that is larger than 4 GiB: refused
    // before anything is read or written.
    std::string file = dir_.File("huge.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, file));
    ASSERT_EQ(truncate(file.c_str(), (off_t{1} << 32) + 8), 0);
    MakerLog log;
    EXPECT_EQ(ProbePeFile(file), kTooLarge);
    EXPECT_EQ(RewritePeSignature(file, TestMaker, &log), kTooLarge);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (off_t{1} << 32) + 8);
    EXPECT_EQ(DirEntries(dir_.path()).size(), 1u);
}

TEST_F(PeSignTest, DiskFullLeavesTheFileUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    std::string base = dir_.File("big.exe");
    ASSERT_TRUE(BuildPe(PeKind::kExe32, base, 600 << 10));
    std::string mount_point = dir_.File("small");
    mkdir(mount_point.c_str(), 0755);
    // In a private mount namespace of a child: a 1 MiB tmpfs holds the file
    // once but not twice.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        int32_t result[2] = {1, 0};  // {mounted?, hr}
        if (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m") == 0) {
            result[0] = 0;
            std::string file = mount_point + "/big.exe";
            WriteFile(file, ReadFile(base));
            std::vector<uint8_t> before = ReadFile(file);
            MakerLog log;
            result[1] = RewritePeSignature(file, TestMaker, &log);
            if (ReadFile(file) != before) result[0] = 2;
            if (DirEntries(mount_point).size() != 1) result[0] = 3;
        }
        ssize_t written = write(pipe_fds[1], result, sizeof result);
        _exit(written == sizeof result ? 0 : 1);
    }
    close(pipe_fds[1]);
    int32_t result[2] = {-1, 0};
    ssize_t got = read(pipe_fds[0], result, sizeof result);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof result));
    if (result[0] == 1) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(result[0], 0) << "2: file changed, 3: temporary file left";
    EXPECT_EQ(result[1], kDiskFull);
}

}  // namespace
}  // namespace authenticode
