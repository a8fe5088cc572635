// Complete positional reads and writes, and errno to HRESULT.
#include "authenticode/pe/pe_io.h"

#include <cerrno>
#include <unistd.h>

#include "authenticode/pe/pe_hresult.h"

namespace authenticode::pe {

int32_t HresultFromErrno(int error) {
    switch (error) {
    case 0: return kFail;  // a call that failed without saying why
    case ENOENT: return kFileNotFound;
    case ENOTDIR: return kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY: return kAccessDenied;
    case EROFS: return kWriteProtect;
    case ENOMEM: return kOutOfMemory;
    case ENOSPC:
    case EDQUOT: return kDiskFull;
    case EFBIG: return kFileTooLarge;
    case ENAMETOOLONG: return kFilenameTooLong;
    case ELOOP: return kCantResolveName;
    case EINVAL: return kInvalidArg;
    case EIO: return kWriteFault;
    default: return kFail;
    }
}

int32_t ReadAt(int fd, uint64_t offset, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EIO ? kReadFault : HresultFromErrno(errno);
        }
        if (n == 0) return kHandleEof;
        data += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return kOk;
}

int32_t WriteAt(int fd, uint64_t offset, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return HresultFromErrno(errno);
        }
        if (n == 0) return kWriteFault;
        data += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return kOk;
}

}  // namespace authenticode::pe
