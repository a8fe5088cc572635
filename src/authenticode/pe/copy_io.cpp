// Extent sharing and direct writes for the copy. Both are optional: every
// failure here means "copy the ordinary way", never an error of its own, so
// a file system without them behaves exactly as before.
#include "authenticode/pe/copy_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace authenticode::pe {

bool CloneInto(int in_fd, int out_fd, uint64_t length) {
#ifdef FICLONE
    struct stat st;
    if (fstat(in_fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < length) return false;
    // The whole file, then cut: a range clone would need block-aligned ends.
    if (ioctl(out_fd, FICLONE, in_fd) != 0) return false;
    if (ftruncate(out_fd, static_cast<off_t>(length)) == 0) return true;
    if (ftruncate(out_fd, 0) != 0) {
        // Left as it is: the caller's copy writes every byte again anyway.
    }
    return false;
#else
    (void)in_fd, (void)out_fd, (void)length;
    return false;
#endif
}

bool SetDirectWrites(int fd, bool on) {
#ifdef O_DIRECT
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
    if (wanted != flags && fcntl(fd, F_SETFL, wanted) != 0) return (flags & O_DIRECT) != 0;
    return on;
#else
    (void)fd, (void)on;
    return false;
#endif
}

}  // namespace authenticode::pe
