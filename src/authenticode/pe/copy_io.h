// Faster ways to get the copy's bytes onto the disk: sharing the original's
// extents where the file system can (the copy then costs almost nothing),
// and writes that go past the page cache, so the data is on the device when
// each write returns and the closing flush has only the metadata left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode::pe {

// Memory, offset and length alignment for writes past the page cache: a
// multiple of the logical block size of every common device.
constexpr size_t kDirectAlign = 4096;

// Makes the empty file `out_fd` share the extents of the first `length` bytes
// of `in_fd` (both on one file system that can share extents: XFS with
// reflink, btrfs). False when that is not possible here, with `out_fd` left
// empty; the caller then copies the bytes itself.
bool CloneInto(int in_fd, int out_fd, uint64_t length);

// Turns writes past the page cache on or off for `fd`. Returns whether they
// are on afterwards (false where the file system does not offer them).
bool SetDirectWrites(int fd, bool on);

}  // namespace authenticode::pe
