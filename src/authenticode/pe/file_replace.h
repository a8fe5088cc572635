// Replacing a file without ever exposing a half-written one, for every file
// format the engine signs: the original is opened and checked, the new
// content is written to a temporary copy beside it, and the copy is settled
// (owner, mode, flushed) and renamed over the original in one step. Until
// that rename the original is not touched.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace authenticode::pe {

// A file descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(-1); }
    int get() const { return fd_; }
    void Reset(int fd);

private:
    int fd_ = -1;
};

// The file to be replaced, opened for reading.
struct SourceFile {
    std::string target;  // the path with every symbolic link resolved
    Fd fd;
    struct stat st {};
};

// Resolves `path` (bytes as the file system takes them) and opens the file it
// names for reading. A directory is access denied, anything else that is not
// a regular file an unknown subject form.
int32_t OpenSourceFile(const std::string& path, SourceFile* source);

// Refuses, before anything is written, a file that cannot be replaced
// faithfully: one nobody may write or this process may not write (access
// denied); one whose owner and group this process could not give the copy
// (access denied: the signed file would change hands); one with more than
// one hard link (not supported: the other names would keep the old bytes).
int32_t CheckWritable(const SourceFile& source);

// OpenSourceFile, then CheckWritable: the first step of every rewrite.
int32_t OpenFileToReplace(const std::string& path, SourceFile* source);

// Reads the whole of a small file; one larger than `limit` bytes is
// ERROR_FILE_TOO_LARGE.
int32_t ReadWholeFile(const SourceFile& source, uint64_t limit, std::vector<uint8_t>* data);

// The temporary copy. Where the file system allows, it is an unnamed file
// (O_TMPFILE) that only gets a name just before the rename, so a process
// killed while signing leaves nothing behind; elsewhere a hidden file beside
// the original. Removed again unless it was renamed into place.
class TempFile {
public:
    ~TempFile();
    int32_t Create(const std::string& target);
    int fd() const { return fd_.get(); }

    // Gives the copy the original's owner, group and mode, flushes it,
    // checks that the original did not change while it was read, and
    // renames the copy over it. A copy that cannot have exactly the
    // original's owner, group and mode is not renamed: access denied.
    int32_t CommitOver(const SourceFile& source);

private:
    int32_t Name();
    int32_t CreateNamed();
    std::vector<char> Pattern() const;

    Fd fd_;
    std::string path_;
    std::string dir_;
    std::string pattern_;
};

}  // namespace authenticode::pe
