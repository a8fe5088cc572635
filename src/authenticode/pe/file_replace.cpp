// Replacing a file in place: open and check the original, build the copy
// under a temporary name beside it, settle and flush the copy, and rename it
// over the original.
#include "authenticode/pe/file_replace.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"

namespace authenticode::pe {
namespace {

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// ENOENT means a missing file when its directory exists, else a missing path.
int32_t MissingCode(const std::string& path) {
    struct stat st;
    if (stat(ParentOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kFileNotFound;
    return kPathNotFound;
}

int32_t ResolveTarget(const std::string& path, std::string* target) {
    if (path.empty()) return kPathNotFound;
    if (path.find('\0') != std::string::npos) return kInvalidArg;
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved) {
        int error = errno;
        if (error == ENOENT) return MissingCode(path);
        return HresultFromErrno(error);
    }
    *target = resolved.get();
    return kOk;
}

// Fills the XXXXXX of a pattern with random letters.
int FillRandom(char* pattern) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    size_t length = std::strlen(pattern);
    if (length < 6) return -1;
    uint8_t random[6];
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ReadAt(fd, 0, random, sizeof random) == kOk;
    if (fd >= 0) close(fd);
    if (!ok) return -1;
    for (size_t i = 0; i < 6; ++i) pattern[length - 6 + i] = kLetters[random[i] % (sizeof kLetters - 1)];
    return 0;
}

bool InOurGroups(gid_t gid) {
    if (gid == getegid()) return true;
    int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

// Whether a file we create could be given `st`'s owner and group: ours, or
// a group we belong to, unless we are privileged. Root without the right
// capability is caught when the copy is settled.
bool CanKeepOwnership(const struct stat& st) {
    if (geteuid() == 0) return true;
    return st.st_uid == geteuid() && InOurGroups(st.st_gid);
}

// Gives the copy the original's owner, group and mode, exactly, and flushes
// it. The copy is created 0600 and its owner is set before its mode, so it
// never carries a set-ID bit under another owner. A copy in a set-group-ID
// folder starts with the folder's group, hence the fstat rather than a
// guess from our own IDs.
int32_t SettleCopy(const SourceFile& source, int out_fd) {
    const mode_t mode = source.st.st_mode & 07777;
    struct stat copy;
    if (fstat(out_fd, &copy) != 0) return HresultFromErrno(errno);
    if (copy.st_uid != source.st.st_uid || copy.st_gid != source.st.st_gid) {
        if (fchown(out_fd, source.st.st_uid, source.st.st_gid) != 0) return kAccessDenied;
    }
    if (fchmod(out_fd, mode) != 0) return HresultFromErrno(errno);
    // fchmod drops a set-group-ID bit silently when we are not in the
    // group; anything short of the original is refused, not written.
    if (fstat(out_fd, &copy) != 0) return HresultFromErrno(errno);
    if (copy.st_uid != source.st.st_uid || copy.st_gid != source.st.st_gid || (copy.st_mode & 07777) != mode) {
        return kAccessDenied;
    }
    if (fsync(out_fd) != 0) return HresultFromErrno(errno);
    return kOk;
}

// Refuses to replace a file that changed while we read it.
int32_t CheckUnchanged(const SourceFile& source) {
    struct stat now, named;
    if (fstat(source.fd.get(), &now) != 0) return HresultFromErrno(errno);
    if (stat(source.target.c_str(), &named) != 0) return HresultFromErrno(errno);
    if (now.st_size != source.st.st_size || now.st_mtim.tv_sec != source.st.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != source.st.st_mtim.tv_nsec || named.st_ino != source.st.st_ino ||
        named.st_dev != source.st.st_dev) {
        return kSharingViolation;
    }
    // A link made while we worked would be split from the signed file.
    if (now.st_nlink > 1) return kNotSupported;
    return kOk;
}

void SyncDirectory(const std::string& target) {
    int fd = open(ParentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // the rename is done: a failure here cannot be undone, only reported by the OS
    close(fd);
}

}  // namespace

void Fd::Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

int32_t OpenSourceFile(const std::string& path, SourceFile* source) {
    int32_t hr = ResolveTarget(path, &source->target);
    if (hr != kOk) return hr;
    // O_NONBLOCK: a FIFO put in a file's place must not hang us.
    source->fd.Reset(open(source->target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (source->fd.get() < 0) {
        int error = errno;
        return error == ENOENT ? MissingCode(source->target) : HresultFromErrno(error);
    }
    if (fstat(source->fd.get(), &source->st) != 0) return HresultFromErrno(errno);
    if (S_ISDIR(source->st.st_mode)) return kAccessDenied;
    if (!S_ISREG(source->st.st_mode)) return kSubjectFormUnknown;
    return kOk;
}

int32_t CheckWritable(const SourceFile& source) {
    // A file nobody may write is read-only, as Windows' read-only attribute,
    // even for a user whose privileges would let him write it anyway.
    if ((source.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return kAccessDenied;
    if (faccessat(AT_FDCWD, source.target.c_str(), W_OK, AT_EACCESS) != 0) return HresultFromErrno(errno);
    // The signed copy replaces the name, not the file: other hard links
    // would keep the unsigned bytes and no longer be the same file.
    if (source.st.st_nlink > 1) return kNotSupported;
    // Someone else's file (or a group we are not in) would become ours.
    if (!CanKeepOwnership(source.st)) return kAccessDenied;
    return kOk;
}

int32_t OpenFileToReplace(const std::string& path, SourceFile* source) {
    int32_t hr = OpenSourceFile(path, source);
    if (hr != kOk) return hr;
    return CheckWritable(*source);
}

int32_t ReadWholeFile(const SourceFile& source, uint64_t limit, std::vector<uint8_t>* data) {
    uint64_t size = static_cast<uint64_t>(source.st.st_size);
    if (size > limit) return kFileTooLarge;
    data->resize(static_cast<size_t>(size));
    return ReadAt(source.fd.get(), 0, data->data(), data->size());
}

TempFile::~TempFile() {
    fd_.Reset(-1);
    if (!path_.empty()) unlink(path_.c_str());
}

int32_t TempFile::Create(const std::string& target) {
    dir_ = ParentOf(target);
    std::string base = target.substr(target.find_last_of('/') + 1);
    if (base.size() > 64) base.resize(64);
    pattern_ = dir_ + "/." + base + ".qm-XXXXXX";
#ifdef O_TMPFILE
    // Naming it later goes through /proc; without /proc use a named file.
    if (access("/proc/self/fd", X_OK) == 0) {
        int fd = open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_.Reset(fd);
            return kOk;
        }
        // Only a file system without unnamed files falls back.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return HresultFromErrno(errno);
    }
#endif
    return CreateNamed();
}

// Gives an unnamed copy its temporary name, ready for the rename.
int32_t TempFile::Name() {
    if (!path_.empty()) return kOk;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::vector<char> buffer = Pattern();
        if (FillRandom(buffer.data()) != 0) return kFail;
        std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
        if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, buffer.data(), AT_SYMLINK_FOLLOW) == 0) {
            path_ = buffer.data();
            return kOk;
        }
        if (errno != EEXIST) return HresultFromErrno(errno);
    }
    return kFail;
}

std::vector<char> TempFile::Pattern() const {
    std::vector<char> buffer(pattern_.begin(), pattern_.end());
    buffer.push_back('\0');
    return buffer;
}

int32_t TempFile::CreateNamed() {
    std::vector<char> buffer = Pattern();
    int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return HresultFromErrno(errno);
    path_ = buffer.data();
    fd_.Reset(fd);
    return kOk;
}

int32_t TempFile::CommitOver(const SourceFile& source) {
    int32_t hr = SettleCopy(source, fd_.get());
    if (hr != kOk) return hr;
    hr = CheckUnchanged(source);
    if (hr != kOk) return hr;
    hr = Name();
    if (hr != kOk) return hr;
    if (rename(path_.c_str(), source.target.c_str()) != 0) return HresultFromErrno(errno);
    path_.clear();
    SyncDirectory(source.target);
    return kOk;
}

}  // namespace authenticode::pe
