// Signing a PE file in place without ever exposing a half-written file: the
// signed copy is built beside the original under a temporary name, flushed,
// and renamed over it. Until that rename the original is not touched.
#include "authenticode/pe/pe_sign.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "authenticode/pe/pe_checksum.h"
#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/pe/pe_stream.h"

namespace authenticode {
namespace {

using namespace pe;

// What we read of an existing certificate table to hand its signature on.
constexpr uint64_t kMaxExistingTable = 32u << 20;
constexpr size_t kFirstHeadRead = 64u << 10;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(-1); }
    int get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Source {
    std::string target;  // the path with every symbolic link resolved
    Fd fd;
    struct stat st {};
    PeLayout layout;
    std::vector<uint8_t> head;  // the header bytes, through the section table
};

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

int32_t OpenSource(const std::string& path, Source* source) {
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

int32_t ReadLayout(Source* source) {
    uint64_t file_size = static_cast<uint64_t>(source->st.st_size);
    uint64_t want = file_size < kFirstHeadRead ? file_size : kFirstHeadRead;
    for (;;) {
        source->head.resize(static_cast<size_t>(want));
        int32_t hr = ReadAt(source->fd.get(), 0, source->head.data(), source->head.size());
        if (hr != kOk) return hr;
        hr = ParsePeLayout(source->head.data(), source->head.size(), file_size, &source->layout);
        if (hr != kPeNeedMoreHeader) return hr;
        if (source->layout.head_needed <= want) return kBadExeFormat;  // cannot happen: no progress
        want = source->layout.head_needed;
    }
}

int32_t ReadExistingSignature(const Source& source, std::vector<uint8_t>* existing) {
    existing->clear();
    const PeLayout& layout = source.layout;
    if (layout.cert_table_size == 0) return kOk;
    uint64_t size = layout.cert_table_size < kMaxExistingTable ? layout.cert_table_size : kMaxExistingTable;
    std::vector<uint8_t> table(static_cast<size_t>(size));
    int32_t hr = ReadAt(source.fd.get(), layout.cert_table_offset, table.data(), table.size());
    if (hr != kOk) return hr;
    size_t der_offset = 0, der_size = 0;
    if (FindPkcs7InTable(table.data(), table.size(), &der_offset, &der_size)) {
        existing->assign(table.begin() + static_cast<std::ptrdiff_t>(der_offset),
                         table.begin() + static_cast<std::ptrdiff_t>(der_offset + der_size));
    } else if (layout.cert_table_size > kMaxExistingTable) {
        return kOutOfMemory;  // a signature too large to hand on
    }
    return kOk;
}

int32_t OpenPeFile(const std::string& path, Source* source) {
    int32_t hr = OpenSource(path, source);
    if (hr != kOk) return hr;
    return ReadLayout(source);
}

// The temporary copy. Where the file system allows, it is an unnamed file
// (O_TMPFILE) that only gets a name just before the rename, so a process
// killed while signing leaves nothing behind; elsewhere a hidden file beside
// the original. Removed again unless it was renamed into place.
class TempFile {
public:
    ~TempFile() {
        fd.Reset(-1);
        if (!path.empty()) unlink(path.c_str());
    }
    int32_t Create(const std::string& target) {
        dir_ = ParentOf(target);
        std::string base = target.substr(target.find_last_of('/') + 1);
        if (base.size() > 64) base.resize(64);
        pattern_ = dir_ + "/." + base + ".qm-XXXXXX";
#ifdef O_TMPFILE
        // Naming it later goes through /proc; without /proc use a named file.
        if (access("/proc/self/fd", X_OK) == 0) {
            int fd = open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            if (fd >= 0) {
                this->fd.Reset(fd);
                return kOk;
            }
            // Only a file system without unnamed files falls back.
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return HresultFromErrno(errno);
        }
#endif
        return CreateNamed();
    }
    // Gives an unnamed copy its temporary name, ready for the rename.
    int32_t Name() {
        if (!path.empty()) return kOk;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::vector<char> buffer = Pattern();
            if (FillRandom(buffer.data()) != 0) return kFail;
            std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
            if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, buffer.data(), AT_SYMLINK_FOLLOW) == 0) {
                path = buffer.data();
                return kOk;
            }
            if (errno != EEXIST) return HresultFromErrno(errno);
        }
        return kFail;
    }
    void Committed() { path.clear(); }

    Fd fd;
    std::string path;

private:
    std::vector<char> Pattern() const {
        std::vector<char> buffer(pattern_.begin(), pattern_.end());
        buffer.push_back('\0');
        return buffer;
    }
    // Fills the XXXXXX of a pattern with random letters.
    static int FillRandom(char* pattern) {
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
    int32_t CreateNamed() {
        std::vector<char> buffer = Pattern();
        int fd = mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) return HresultFromErrno(errno);
        path = buffer.data();
        this->fd.Reset(fd);
        return kOk;
    }

    std::string dir_;
    std::string pattern_;
};

int32_t CheckWritable(const Source& source) {
    // A file nobody may write is read-only, as Windows' read-only attribute,
    // even for a user whose privileges would let him write it anyway.
    if ((source.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return kAccessDenied;
    if (faccessat(AT_FDCWD, source.target.c_str(), W_OK, AT_EACCESS) != 0) return HresultFromErrno(errno);
    return kOk;
}

void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Appends the certificate table to the copy and patches the data directory
// entry and the checksum.
int32_t FinishCopy(const Source& source, int out_fd, const std::vector<uint8_t>& signature,
                   PeChecksum* checksum) {
    const PeLayout& layout = source.layout;
    PeTablePlan plan;
    int32_t hr = PlanCertificateTable(layout.content_end, signature.size(), &plan);
    if (hr != kOk) return hr;

    std::vector<uint8_t> table(plan.table_size, 0);
    StoreLe32(table.data(), plan.table_size);
    table[4] = 0x00;  // wRevision 0x0200
    table[5] = 0x02;
    table[6] = 0x02;  // wCertificateType 0x0002: PKCS#7 SignedData
    table[7] = 0x00;
    std::memcpy(table.data() + 8, signature.data(), signature.size());
    hr = WriteAt(out_fd, plan.padded_content_end, table.data(), table.size());
    if (hr != kOk) return hr;
    AddToChecksum(checksum, table.data(), table.size());

    uint8_t entry[8];
    StoreLe32(entry, static_cast<uint32_t>(plan.padded_content_end));
    StoreLe32(entry + 4, plan.table_size);
    const uint8_t* old_entry = source.head.data() + layout.cert_entry_offset;
    const uint8_t* old_checksum = source.head.data() + layout.checksum_offset;
    static const uint8_t kZero[4] = {};
    PatchChecksum(checksum, layout.cert_entry_offset, old_entry, entry, sizeof entry);
    PatchChecksum(checksum, layout.checksum_offset, old_checksum, kZero, sizeof kZero);
    uint8_t sum[4];
    StoreLe32(sum, FinishChecksum(*checksum, plan.new_file_size));

    hr = WriteAt(out_fd, layout.cert_entry_offset, entry, sizeof entry);
    if (hr != kOk) return hr;
    return WriteAt(out_fd, layout.checksum_offset, sum, sizeof sum);
}

// Gives the copy the original's owner (where we may) and mode, and flushes it.
int32_t SettleCopy(const Source& source, int out_fd) {
    if (source.st.st_uid != geteuid() || source.st.st_gid != getegid()) {
        if (fchown(out_fd, source.st.st_uid, source.st.st_gid) != 0) {
            if (fchown(out_fd, static_cast<uid_t>(-1), source.st.st_gid) != 0) {
                // Not permitted: the copy stays ours, as any rewrite by this user would.
            }
        }
    }
    if (fchmod(out_fd, source.st.st_mode & 07777) != 0) return HresultFromErrno(errno);
    if (fsync(out_fd) != 0) return HresultFromErrno(errno);
    return kOk;
}

// Refuses to replace a file that changed while we read it.
int32_t CheckUnchanged(const Source& source) {
    struct stat now, named;
    if (fstat(source.fd.get(), &now) != 0) return HresultFromErrno(errno);
    if (stat(source.target.c_str(), &named) != 0) return HresultFromErrno(errno);
    if (now.st_size != source.st.st_size || now.st_mtim.tv_sec != source.st.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != source.st.st_mtim.tv_nsec || named.st_ino != source.st.st_ino ||
        named.st_dev != source.st.st_dev) {
        return kSharingViolation;
    }
    return kOk;
}

void SyncDirectory(const std::string& target) {
    int fd = open(ParentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // the rename is done: a failure here cannot be undone, only reported by the OS
    close(fd);
}

int32_t Rewrite(const std::string& path, SignatureMaker maker, void* context) {
    if (maker == nullptr) return kInvalidArg;
    Source source;
    int32_t hr = OpenPeFile(path, &source);
    if (hr != kOk) return hr;
    hr = CheckWritable(source);
    if (hr != kOk) return hr;
    PeTablePlan plan;
    hr = PlanCertificateTable(source.layout.content_end, 1, &plan);
    if (hr != kOk) return hr;
    std::vector<uint8_t> existing;
    hr = ReadExistingSignature(source, &existing);
    if (hr != kOk) return hr;

    TempFile temp;
    hr = temp.Create(source.target);
    if (hr != kOk) return hr;
    uint8_t digest[32];
    PeChecksum checksum;
    hr = StreamPeContent(source.fd.get(), temp.fd.get(), source.layout, PeStreamOptions{}, digest, &checksum);
    if (hr != kOk) return hr;

    std::vector<uint8_t> signature;
    hr = maker(digest, existing, &signature, context);
    if (hr != kOk) return hr;
    hr = FinishCopy(source, temp.fd.get(), signature, &checksum);
    if (hr != kOk) return hr;
    hr = SettleCopy(source, temp.fd.get());
    if (hr != kOk) return hr;
    hr = CheckUnchanged(source);
    if (hr != kOk) return hr;
    hr = temp.Name();
    if (hr != kOk) return hr;
    if (rename(temp.path.c_str(), source.target.c_str()) != 0) return HresultFromErrno(errno);
    temp.Committed();
    SyncDirectory(source.target);
    return kOk;
}

}  // namespace

int32_t RewritePeSignature(const std::string& path, SignatureMaker maker, void* context) {
    try {
        return Rewrite(path, maker, context);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

int32_t ProbePeFile(const std::string& path) {
    try {
        Source source;
        return OpenPeFile(path, &source);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

int32_t ComputePeDigest(const std::string& path, uint8_t digest[32]) {
    try {
        Source source;
        int32_t hr = OpenPeFile(path, &source);
        if (hr != kOk) return hr;
        PeChecksum checksum;
        return StreamPeContent(source.fd.get(), -1, source.layout, PeStreamOptions{}, digest, &checksum);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

}  // namespace authenticode
