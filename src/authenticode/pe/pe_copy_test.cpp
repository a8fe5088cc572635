// The ways the signed copy can be made (shared extents, direct writes,
// buffered writes) must give the same file byte for byte and the same
// digest, and each must give way to the next where the file system lacks it:
// checked on the scratch directory's own file system, on ramfs (neither
// sharing nor direct writes) and on loop-mounted XFS images with and without
// reflink, where the shared copy is verified by osslsigncode.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "authenticode/pe/pe_layout.h"
#include "authenticode/pe/pe_sign.h"
#include "authenticode/pe/pe_stream.h"
#include "authenticode/pe/pe_test_support.h"

namespace authenticode {
namespace {

using namespace pe_test;

const char* PathName(PeCopyPath path) {
    switch (path) {
    case PeCopyPath::kNone: return "none";
    case PeCopyPath::kCloned: return "cloned";
    case PeCopyPath::kDirect: return "direct";
    case PeCopyPath::kBuffered: return "buffered";
    }
    return "?";
}

// Writes `bytes` to `file` and signs it with `options` and the deterministic
// dummy maker; the signed bytes go to `signed_bytes`.
int32_t SignCopy(const std::vector<uint8_t>& bytes, const std::string& file, PeStreamOptions options,
                 PeCopyPath* taken, std::vector<uint8_t>* signed_bytes) {
    WriteFile(file, bytes);
    *taken = PeCopyPath::kNone;
    options.path_taken = taken;
    MakerLog log;
    int32_t hr = RewritePeSignature(file, TestMaker, &log, options);
    *signed_bytes = ReadFile(file);
    return hr;
}

// Does this directory's file system take direct writes / share extents?
// Probed independently of the engine, so a path it silently never takes
// shows up as a failure.
bool DirectWritesWork(const std::string& dir) {
    std::string probe = dir + "/direct-probe";
    int fd = open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DIRECT, 0600);
    bool ok = false;
    if (fd >= 0) {
        void* block = nullptr;
        if (posix_memalign(&block, 4096, 4096) == 0) {
            std::memset(block, 1, 4096);
            ok = pwrite(fd, block, 4096, 0) == 4096;
            std::free(block);
        }
        close(fd);
    }
    unlink(probe.c_str());
    return ok;
}

bool CloneWorks(const std::string& dir) {
    std::string a = dir + "/clone-probe-a", b = dir + "/clone-probe-b";
    WriteFile(a, std::vector<uint8_t>(8192, 7));
    bool ok = RunCommand("cp --reflink=always " + Quote(a) + " " + Quote(b)) == 0;
    unlink(a.c_str());
    unlink(b.c_str());
    return ok;
}

// Content that fits in one chunk is written through the page cache whatever
// the file system offers (one write, flushed with the rest of the file).
PeCopyPath ExpectedPath(const std::string& dir, bool clone, bool direct, size_t chunk, bool one_chunk) {
    if (clone && CloneWorks(dir)) return PeCopyPath::kCloned;
    if (direct && !one_chunk && chunk % 4096 == 0 && DirectWritesWork(dir)) return PeCopyPath::kDirect;
    return PeCopyPath::kBuffered;
}

// Whether the content of a PE file (before any certificate table) fits in
// one chunk.
bool FitsOneChunk(const std::vector<uint8_t>& bytes, size_t chunk) {
    PeLayout layout;
    return ParsePeLayout(bytes.data(), bytes.size(), bytes.size(), &layout) == 0 &&
           layout.content_end <= (chunk & ~size_t{7});
}

// A signature far larger than the tests' own, so that re-signing shrinks
// the file.
int32_t LargeMaker(const uint8_t* /*digest*/, const std::vector<uint8_t>& /*existing*/,
                   std::vector<uint8_t>* signature, void* /*context*/) {
    signature->assign(9000, 0x33);
    (*signature)[0] = 0x30;
    (*signature)[1] = 0x82;
    (*signature)[2] = static_cast<uint8_t>((9000 - 4) >> 8);
    (*signature)[3] = static_cast<uint8_t>(9000 - 4);
    return 0;
}

// The subjects: a small PE32 whose content ends mid-word, a PE32+ over
// several chunks whose content ends just short of a block, and that one
// signed already with a large signature (its content ends well before the
// file does, and a shared copy must be cut there).
struct Subject {
    const char* name;
    std::vector<uint8_t> bytes;
};
bool MakeSubjects(const ScratchDir& dir, std::vector<Subject>* subjects) {
    std::string small = dir.File("small.exe"), large = dir.File("large.dll");
    if (!BuildPe(PeKind::kExe32, small, 5) || !BuildPe(PeKind::kDll64, large, (5u << 20) + 4093)) return false;
    subjects->push_back({"small PE32", ReadFile(small)});
    subjects->push_back({"PE32+ of several chunks", ReadFile(large)});
    if (RewritePeSignature(large, LargeMaker, nullptr) != 0) return false;
    subjects->push_back({"signed PE32+", ReadFile(large)});
    return true;
}

// Runs `body` in a child with its own mount table (so nothing it mounts
// outlives it or shows elsewhere); `body` fills `results`. False when the
// child did not report.
bool InPrivateMounts(const std::function<void(int32_t*)>& body, int32_t* results, size_t count) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        std::vector<int32_t> out(count, 0);
        if (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            body(out.data());
        } else {
            out[0] = -1;
        }
        ssize_t size = static_cast<ssize_t>(count * sizeof(int32_t));
        _exit(write(pipe_fds[1], out.data(), static_cast<size_t>(size)) == size ? 0 : 1);
    }
    close(pipe_fds[1]);
    ssize_t want = static_cast<ssize_t>(count * sizeof(int32_t));
    ssize_t got = read(pipe_fds[0], results, static_cast<size_t>(want));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got == want;
}

class PeCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMingw(PeKind::kExe32) || !HaveMingw(PeKind::kDll64)) GTEST_SKIP() << "mingw-w64 not installed";
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_TRUE(MakeSubjects(dir_, &subjects_));
        // The reference: the plain buffered copy.
        PeStreamOptions buffered;
        buffered.clone = false;
        buffered.direct_writes = false;
        for (const Subject& s : subjects_) {
            PeCopyPath taken;
            std::vector<uint8_t> out;
            ASSERT_EQ(SignCopy(s.bytes, dir_.File("reference"), buffered, &taken, &out), 0) << s.name;
            ASSERT_EQ(taken, PeCopyPath::kBuffered);
            references_.push_back(out);
        }
    }

    ScratchDir dir_;
    std::vector<Subject> subjects_;
    std::vector<std::vector<uint8_t>> references_;
};

TEST_F(PeCopyTest, SameFileWhicheverWayTheCopyIsMade) {
    struct Way {
        const char* name;
        bool clone;
        bool direct;
        size_t chunk;
        bool threads = true;
        size_t count = 4;
    };
    const Way ways[] = {
        {"direct", false, true, 2u << 20},
        {"direct, chunks of three blocks", false, true, 3 * 4096},
        {"direct, chunks of one block, one slot", false, true, 4096, true, 1},
        {"direct, one-block chunks written in batches", false, true, 4096, true, 7},
        {"buffered, one-block chunks written in batches", false, false, 4096, true, 7},
        {"direct, no threads", false, true, 3 * 4096, false},
        {"buffered, no threads", false, false, 2u << 20, false},
        {"direct asked, chunks not block aligned", false, true, 4096 + 8},
        {"any way the file system offers", true, true, 2u << 20},
        {"shared extents or buffered", true, false, 2u << 20},
    };
    for (const Way& way : ways) {
        PeStreamOptions options;
        options.clone = way.clone;
        options.direct_writes = way.direct;
        options.chunk_size = way.chunk;
        options.hash_thread = way.threads;
        options.chunk_count = way.count;
        for (size_t i = 0; i < subjects_.size(); ++i) {
            SCOPED_TRACE(std::string(way.name) + ", " + subjects_[i].name);
            PeCopyPath expected = ExpectedPath(dir_.path(), way.clone, way.direct, way.chunk,
                                               FitsOneChunk(subjects_[i].bytes, way.chunk));
            PeCopyPath taken;
            std::vector<uint8_t> out;
            ASSERT_EQ(SignCopy(subjects_[i].bytes, dir_.File("subject"), options, &taken, &out), 0);
            EXPECT_STREQ(PathName(taken), PathName(expected));
            EXPECT_TRUE(out == references_[i]) << "signed bytes differ from the buffered copy's";
        }
    }
}

// ramfs has neither shared extents nor direct writes: the default options
// must end up on the buffered copy with the same result.
TEST_F(PeCopyTest, FallsBackWhereTheFileSystemHasNeither) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
    std::string mount_point = dir_.File("ram");
    mkdir(mount_point.c_str(), 0755);
    const size_t n = subjects_.size();
    std::vector<int32_t> results(1 + 3 * n);
    ASSERT_TRUE(InPrivateMounts(
        [&](int32_t* out) {
            if (mount("ramfs", mount_point.c_str(), "ramfs", 0, nullptr) != 0) {
                out[0] = 1;
                return;
            }
            for (size_t i = 0; i < n; ++i) {
                PeCopyPath taken;
                std::vector<uint8_t> signed_bytes;
                out[1 + 3 * i] = SignCopy(subjects_[i].bytes, mount_point + "/subject.exe", PeStreamOptions{},
                                          &taken, &signed_bytes);
                out[2 + 3 * i] = static_cast<int32_t>(taken);
                out[3 + 3 * i] = signed_bytes == references_[i];
            }
        },
        results.data(), results.size()));
    if (results[0] != 0) GTEST_SKIP() << "cannot mount ramfs here";
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(subjects_[i].name);
        EXPECT_EQ(results[1 + 3 * i], 0);
        EXPECT_STREQ(PathName(static_cast<PeCopyPath>(results[2 + 3 * i])), "buffered");
        EXPECT_EQ(results[3 + 3 * i], 1) << "signed bytes differ from the buffered copy's";
    }
}

// On XFS with reflink the copy shares the original's extents, and the file
// verifies; without reflink the same image takes direct writes (but for a
// file whose content fits in one chunk, which goes through the page cache).
TEST_F(PeCopyTest, SharesExtentsOnXfsWithReflink) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a loop device";
    if (!HaveTool("mkfs.xfs") || !HaveTool("filefrag")) GTEST_SKIP() << "xfsprogs or e2fsprogs not installed";
    if (!HaveTool("osslsigncode") || !HaveTool("openssl")) GTEST_SKIP() << "osslsigncode or openssl not installed";
    Signer signer;
    ASSERT_TRUE(MakeSigner(dir_.path(), &signer));
    const size_t n = subjects_.size();
    for (int reflink : {1, 0}) {
        SCOPED_TRACE(reflink ? "reflink=1" : "reflink=0");
        std::string image = dir_.File("xfs.img"), mount_point = dir_.File("xfs");
        mkdir(mount_point.c_str(), 0755);
        unlink(image.c_str());
        // mkfs.xfs wants 300 MiB at least; the image file stays sparse.
        ASSERT_EQ(RunCommand("truncate -s 320M " + Quote(image) + " && mkfs.xfs -q -f -m reflink=" +
                             std::to_string(reflink) + " " + Quote(image)),
                  0);
        // Per subject: {hr, path, same bytes, verified, digest ok, shares extents}.
        std::vector<int32_t> results(1 + 6 * n);
        ASSERT_TRUE(InPrivateMounts(
            [&](int32_t* out) {
                if (RunCommand("mount -o loop " + Quote(image) + " " + Quote(mount_point)) != 0) {
                    out[0] = 1;
                    return;
                }
                for (size_t i = 0; i < n; ++i) {
                    int32_t* r = out + 1 + 6 * i;
                    std::string file = mount_point + "/subject.exe", kept = mount_point + "/kept.exe";
                    PeCopyPath taken;
                    std::vector<uint8_t> signed_bytes;
                    r[0] = SignCopy(subjects_[i].bytes, file, PeStreamOptions{}, &taken, &signed_bytes);
                    r[1] = static_cast<int32_t>(taken);
                    r[2] = signed_bytes == references_[i];
                    // Once more with a real signature, keeping a shared copy of
                    // the original: the signed file's data must still share
                    // its extents with it.
                    WriteFile(file, subjects_[i].bytes);
                    RunCommand("cp --reflink=auto " + Quote(file) + " " + Quote(kept) + " && sync");
                    MakerLog log;
                    log.signer = &signer;
                    if (RewritePeSignature(file, TestMaker, &log) == 0) {
                        std::string digest = Hex(log.digest, 32);
                        Verification v = OsslVerify(file, signer.root_pem);
                        r[3] = v.status == 0;
                        r[4] = v.current == digest && v.calculated == digest;
                    }
                    std::string frag;
                    RunCommand("sync && filefrag -v " + Quote(file), &frag);
                    r[5] = frag.find("shared") != std::string::npos;
                    unlink(kept.c_str());
                }
                RunCommand("umount " + Quote(mount_point));
            },
            results.data(), results.size()));
        if (results[0] != 0) GTEST_SKIP() << "cannot loop-mount an XFS image here";
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(subjects_[i].name);
            const int32_t* r = results.data() + 1 + 6 * i;
            EXPECT_EQ(r[0], 0);
            bool one_chunk = FitsOneChunk(subjects_[i].bytes, PeStreamOptions{}.chunk_size);
            EXPECT_STREQ(PathName(static_cast<PeCopyPath>(r[1])),
                         reflink ? "cloned" : one_chunk ? "buffered" : "direct");
            EXPECT_EQ(r[2], 1) << "signed bytes differ from the buffered copy's";
            EXPECT_EQ(r[3], 1) << "osslsigncode does not verify the signed file";
            EXPECT_EQ(r[4], 1) << "digest differs from the one osslsigncode computes";
            // A file of one block has nothing left to share once its first
            // block is rewritten.
            if (reflink && subjects_[i].bytes.size() > (1u << 20)) {
                EXPECT_EQ(r[5], 1) << "no extents shared with the original";
            } else if (!reflink) {
                EXPECT_EQ(r[5], 0);
            }
        }
    }
}

}  // namespace
}  // namespace authenticode
