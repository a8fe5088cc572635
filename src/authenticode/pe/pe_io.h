// Small POSIX file helpers for the PE engine: complete reads and writes, and
// the mapping of errno values to the HRESULTs Windows gives for each cause.
#pragma once

#include <cstddef>
#include <cstdint>

namespace authenticode::pe {

// The HRESULT for an errno value from a file operation.
int32_t HresultFromErrno(int error);

// Reads exactly `size` bytes at `offset` (retrying short reads and EINTR).
// A file that ends first gives ERROR_HANDLE_EOF.
int32_t ReadAt(int fd, uint64_t offset, uint8_t* data, size_t size);

// Writes all of `data` at `offset`.
int32_t WriteAt(int fd, uint64_t offset, const uint8_t* data, size_t size);

}  // namespace authenticode::pe
