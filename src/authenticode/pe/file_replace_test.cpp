// The file replacement's promise about who may read the result: the
// replaced file has the original's owner, group and mode, or it is not
// replaced at all; a file with other hard links is refused before anything
// is written. Other users are played by the probe run under setpriv, so
// those cases need root and skip (visibly) without it.
#include "authenticode/pe/file_replace.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "authenticode/pe/pe_test_support.h"

namespace {

using pe_test::DirEntries;
using pe_test::Quote;
using pe_test::ReadFile;
using pe_test::WriteFile;

constexpr uint32_t kOk = 0;
constexpr uint32_t kAccessDenied = 0x80070005u;
constexpr uint32_t kNotSupported = 0x80070032u;

// IDs no account on a test machine is likely to have; none need to exist.
constexpr unsigned kUser = 4242, kUserGroup = 4242;  // the signer
constexpr unsigned kShared = 4250;                   // a group the signer is in
constexpr unsigned kOther = 4243, kOtherGroup = 4260;  // another user, a group the signer is not in

const std::vector<uint8_t> kContent = {'M', 'Z', 1, 2, 3};

std::vector<uint8_t> Signed() {
    std::vector<uint8_t> b = kContent;
    for (char c : std::string("+signed")) b.push_back(static_cast<uint8_t>(c));
    return b;
}

// Runs the probe on `path`, as root or (with `uid`) as that user with the
// given groups; its HRESULT, or 1 when it could not run.
uint32_t Probe(const std::string& path, int uid = -1, unsigned gid = 0, const std::string& groups = "") {
    std::string command;
    if (uid >= 0) {
        command = "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(gid) +
                  (groups.empty() ? " --clear-groups" : " --groups=" + groups) + " ";
    }
    command += Quote(QM_FILE_REPLACE_PROBE) + " " + Quote(path);
    std::string out;
    if (pe_test::RunCommand(command, &out) != 0) return 1;
    return static_cast<uint32_t>(std::stoul(out, nullptr, 16));
}

class FileReplace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // Other users must reach the case folders.
        chmod(dir_.path().c_str(), 0755);
    }
    void NeedOtherUsers() {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users (setpriv)";
        if (!pe_test::HaveTool("setpriv")) GTEST_SKIP() << "setpriv not installed";
    }
    std::string Folder(const std::string& name, unsigned uid, unsigned gid, mode_t mode) {
        std::string path = dir_.File(name);
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    std::string File(const std::string& dir, unsigned uid, unsigned gid, mode_t mode) {
        std::string path = dir + "/app.exe";
        WriteFile(path, kContent);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);  // after chown, which clears set-ID bits
        return path;
    }

    pe_test::ScratchDir dir_;
};

TEST_F(FileReplace, KeepsOwnerGroupAndModeOrRefuses) {
    NeedOtherUsers();
    if (IsSkipped()) return;
    const std::string in_user_groups = std::to_string(kUserGroup) + "," + std::to_string(kShared);
    struct Case {
        const char* what;
        unsigned dir_gid;
        mode_t dir_mode;
        unsigned uid, gid;
        mode_t mode;
        bool as_root;  // else as kUser in kUserGroup and kShared
        uint32_t expected;
    } cases[] = {
        // A set-group-ID folder gives new files its group; the signed file keeps its own.
        {"own file in a setgid folder", kShared, 02777, kUser, kUserGroup, 0750, false, kOk},
        {"root signs in a setgid folder", kShared, 02777, kUser, kUserGroup, 0750, true, kOk},
        {"own file, group we cannot set, setgid folder", kShared, 02777, kUser, kOtherGroup, 0770, false,
         kAccessDenied},
        {"own set-user-ID file", 0, 0777, kUser, kUserGroup, 04755, false, kOk},
        {"own set-group-ID file of a group we are in", 0, 0777, kUser, kShared, 02775, false, kOk},
        // Someone else's writable file in a folder we may write: it would become ours.
        {"another user's writable file", 0, 0777, kOther, kOtherGroup, 0666, false, kAccessDenied},
        {"root's set-user-ID 4777 file", 0, 0777, 0, 0, 04777, false, kAccessDenied},
        {"another user's file with a group we are in", 0, 0777, kOther, kShared, 0666, false, kAccessDenied},
        {"root signs another user's set-ID file", 0, 0755, kOther, kOtherGroup, 06755, true, kOk},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = Folder("case" + std::to_string(++n), 0, c.dir_gid, c.dir_mode);
        std::string path = File(dir, c.uid, c.gid, c.mode);
        uint32_t hr = c.as_root ? Probe(path) : Probe(path, kUser, kUserGroup, in_user_groups);
        EXPECT_EQ(hr, c.expected) << std::hex << hr;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_gid, c.gid);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadFile(path), c.expected == kOk ? Signed() : kContent);
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"app.exe"});
    }
}

TEST_F(FileReplace, FileWithOtherHardLinksIsRefusedUntouched) {
    std::string dir = dir_.File("links");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string path = dir + "/app.exe", other = dir + "/copy.exe";
    WriteFile(path, kContent);
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    EXPECT_EQ(Probe(path), kNotSupported);
    EXPECT_EQ(Probe(other), kNotSupported);
    EXPECT_EQ(ReadFile(path), kContent);
    EXPECT_EQ(ReadFile(other), kContent);
    EXPECT_EQ(DirEntries(dir), (std::vector<std::string>{"app.exe", "copy.exe"}));
    // The way to sign it: a copy of its own.
    ASSERT_EQ(unlink(other.c_str()), 0);
    EXPECT_EQ(Probe(path), kOk);
    EXPECT_EQ(ReadFile(path), Signed());
}

TEST_F(FileReplace, LinkMadeWhileSigningStopsTheReplacement) {
    std::string path = dir_.File("late.exe"), other = dir_.File("late-link.exe");
    WriteFile(path, kContent);
    using namespace authenticode::pe;
    SourceFile source;
    ASSERT_EQ(OpenSourceFile(path, &source), 0);
    ASSERT_EQ(CheckWritable(source), 0);
    TempFile temp;
    ASSERT_EQ(temp.Create(source.target), 0);
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    EXPECT_EQ(static_cast<uint32_t>(temp.CommitOver(source)), kNotSupported);
    EXPECT_EQ(ReadFile(path), kContent);
    struct stat a, b;
    ASSERT_EQ(stat(path.c_str(), &a), 0);
    ASSERT_EQ(stat(other.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

}  // namespace
