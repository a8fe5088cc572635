// The streaming pass. SHA-256 is the slowest part by far (about 1.3 GB/s with
// SHA-NI), so it runs on its own thread over a small ring of buffers while
// this thread reads and sums the checksum, and a third thread writes the
// copy (a write waiting for the device must not hold up the hash). The copy
// is made the cheapest way the file system offers: shared extents (nothing
// to write), else direct writes from the read buffers (no second copy into
// the page cache, which cost more than the hash itself in profiles, and the
// data is on the device once written), else buffered writes pushed to disk
// as they go (sync_file_range) so the final fsync has little left to do.
// Content that fits in one read (most small files) needs neither threads nor
// direct writes: it is hashed on the reader's thread and written through the
// page cache.
#include "authenticode/pe/pe_stream.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <openssl/evp.h>
#include <sys/uio.h>
#include <thread>
#include <vector>

#include "authenticode/pe/copy_io.h"
#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/pe/read_buffers.h"

namespace authenticode {
namespace {

using namespace pe;

// Start writeback of the copy every this many bytes.
constexpr uint64_t kWritebackStep = 16u << 20;

// The most one write of the copy takes at once. A writer behind the reader
// writes all the chunks it has in one call: fewer, larger requests are what
// a device wants for direct writes.
constexpr size_t kMaxWriteBytes = 8u << 20;

struct Skip {
    uint64_t begin;
    uint64_t end;
};

// Hashes data (at file offset `offset`) minus the two skipped fields.
bool HashExcluding(EVP_MD_CTX* md, const uint8_t* data, uint64_t offset, size_t size,
                   const Skip (&skips)[2]) {
    uint64_t at = offset;
    uint64_t end = offset + size;
    for (const Skip& skip : skips) {
        if (skip.end <= at || skip.begin >= end) continue;
        if (skip.begin > at) {
            if (EVP_DigestUpdate(md, data + (at - offset), skip.begin - at) != 1) return false;
        }
        at = skip.end < end ? skip.end : end;
    }
    if (at < end) return EVP_DigestUpdate(md, data + (at - offset), end - at) == 1;
    return true;
}

struct Chunk {
    ReadBuffer data;  // aligned for direct writes
    uint64_t offset = 0;
    size_t size = 0;
};

void StartWriteback(int fd, uint64_t begin, uint64_t end) {
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fd, static_cast<off_t>(begin), static_cast<off_t>(end - begin), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd, (void)begin, (void)end;
#endif
}

// Writes of the copy: direct while the file system takes them, buffered
// from the first refusal on; the descriptor is buffered again afterwards.
class CopyWriter {
public:
    CopyWriter(int fd, bool try_direct) : fd_(fd) {
        if (fd_ >= 0 && try_direct) direct_ = used_direct_ = SetDirectWrites(fd_, true);
    }
    ~CopyWriter() { StopDirect(); }
    // Whether the copy went past the page cache (all but a short tail).
    bool used_direct() const { return used_direct_; }

    int32_t Write(uint64_t offset, const uint8_t* data, size_t size) {
        if (direct_) {
            size_t aligned = size & ~(kDirectAlign - 1);
            if (aligned > 0) {
                int32_t hr = WriteAt(fd_, offset, data, aligned);
                // EINVAL: this file system wants another alignment; write the
                // chunk again through the page cache.
                if (hr != kOk && hr != kInvalidArg) return hr;
                if (hr == kInvalidArg) used_direct_ = false;
                if (hr == kOk) {
                    offset += aligned;
                    data += aligned;
                    size -= aligned;
                }
            }
            if (size > 0) StopDirect();
        }
        if (size == 0) return kOk;
        int32_t hr = WriteAt(fd_, offset, data, size);
        if (hr != kOk) return hr;
        uint64_t end = offset + size;
        if (end - written_back_ >= kWritebackStep) {
            StartWriteback(fd_, written_back_, end);
            written_back_ = end;
        }
        return kOk;
    }

    // Writes consecutive chunks in one call while writes are direct and the
    // chunks whole blocks, else one by one.
    int32_t WriteChunks(const Chunk* const* chunks, size_t count) {
        if (direct_ && count > 1) {
            size_t whole = 0;
            iov_.clear();
            while (whole < count && chunks[whole]->size % kDirectAlign == 0) {
                iov_.push_back({chunks[whole]->data.get(), chunks[whole]->size});
                ++whole;
            }
            if (whole > 1) {
                int32_t hr = WriteVector(chunks[0]->offset);
                if (hr != kOk && hr != kInvalidArg) return hr;
                if (hr == kInvalidArg) {
                    // Refused: the chunks go again through the page cache.
                    used_direct_ = false;
                    StopDirect();
                    whole = 0;
                }
                chunks += whole;
                count -= whole;
            }
        }
        for (size_t i = 0; i < count; ++i) {
            int32_t hr = Write(chunks[i]->offset, chunks[i]->data.get(), chunks[i]->size);
            if (hr != kOk) return hr;
        }
        return kOk;
    }

    void StopDirect() {
        if (direct_) direct_ = SetDirectWrites(fd_, false);
    }

private:
    // Writes all of iov_ at `offset`, resuming after short writes.
    int32_t WriteVector(uint64_t offset) {
        iovec* iov = iov_.data();
        size_t count = iov_.size();
        while (count > 0) {
            int n_iov = count < 1024 ? static_cast<int>(count) : 1024;
            ssize_t n = pwritev(fd_, iov, n_iov, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) continue;
                return HresultFromErrno(errno);
            }
            if (n == 0) return kWriteFault;
            offset += static_cast<uint64_t>(n);
            size_t done = static_cast<size_t>(n);
            while (count > 0 && done >= iov->iov_len) {
                done -= iov->iov_len;
                ++iov;
                --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
                iov->iov_len -= done;
            }
        }
        return kOk;
    }

    int fd_;
    bool direct_ = false;
    bool used_direct_ = false;
    uint64_t written_back_ = 0;
    std::vector<iovec> iov_;
};

// The ring shared by the reader (the calling thread) and the two stages
// that consume each chunk: the hasher and, when there is a copy to write,
// the writer. A slot is free again once both are done with it. The writer
// has its own thread so that a write waiting for the device never leaves
// the hasher without work.
struct Ring {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Chunk> chunks;
    uint64_t filled = 0;   // chunks read
    uint64_t hashed = 0;   // chunks the hasher is done with
    uint64_t written = 0;  // chunks the writer is done with
    bool finished = false;
    int32_t error = kOk;  // the first failure of a stage
    EVP_MD_CTX* md = nullptr;
    Skip skips[2];
    CopyWriter* writer = nullptr;  // null: nothing to write
};

// A stage's work on `count` consecutive chunks from the `first`-th.
typedef int32_t (*StageWork)(Ring* ring, uint64_t first, size_t count);

int32_t HashChunks(Ring* ring, uint64_t first, size_t count) {
    for (uint64_t i = first; i < first + count; ++i) {
        const Chunk& chunk = ring->chunks[i % ring->chunks.size()];
        if (!HashExcluding(ring->md, chunk.data.get(), chunk.offset, chunk.size, ring->skips)) return kFail;
    }
    return kOk;
}

int32_t WriteChunks(Ring* ring, uint64_t first, size_t count) {
    const Chunk* batch[64];
    size_t done = 0;
    while (done < count) {
        size_t n = count - done < 64 ? count - done : 64;
        for (size_t i = 0; i < n; ++i) batch[i] = &ring->chunks[(first + done + i) % ring->chunks.size()];
        int32_t hr = ring->writer->WriteChunks(batch, n);
        if (hr != kOk) return hr;
        done += n;
    }
    return kOk;
}

struct Stage {
    uint64_t Ring::*done;
    StageWork work;
    size_t batch;  // the most chunks taken at once
};

// Runs `stage` on `count` chunks and counts them; after a failure the
// remaining chunks are only counted.
void RunStage(Ring* ring, const Stage& stage, uint64_t first, size_t count, bool skip) {
    int32_t hr = skip ? kOk : stage.work(ring, first, count);
    {
        std::lock_guard<std::mutex> lock(ring->mutex);
        if (hr != kOk && ring->error == kOk) ring->error = hr;
        ring->*stage.done += count;
    }
    ring->changed.notify_all();
}

void StageLoop(Ring* ring, Stage stage) {
    for (;;) {
        uint64_t first;
        size_t count;
        bool skip;
        {
            std::unique_lock<std::mutex> lock(ring->mutex);
            ring->changed.wait(lock, [&] { return ring->filled > ring->*stage.done || ring->finished; });
            if (ring->filled == ring->*stage.done) return;  // finished and drained
            first = ring->*stage.done;
            uint64_t ready = ring->filled - first;
            count = ready < stage.batch ? static_cast<size_t>(ready) : stage.batch;
            skip = ring->error != kOk;
        }
        RunStage(ring, stage, first, count, skip);
    }
}

// Runs the stages for the lifetime of the pass, each on its own thread where
// one can be had (else inline, on the reader's), and always joins them.
class Pipeline {
public:
    Pipeline(Ring* ring, bool threaded, size_t write_batch) : ring_(ring) {
        stages_[count_++] = {&Ring::hashed, HashChunks, 1};
        if (ring->writer != nullptr) stages_[count_++] = {&Ring::written, WriteChunks, write_batch};
        for (size_t i = 0; i < count_ && threaded; ++i) {
            try {
                threads_[i] = std::thread(StageLoop, ring, stages_[i]);
            } catch (...) {
                // No thread to be had: this stage runs inline instead.
            }
        }
    }
    ~Pipeline() { Finish(); }

    void Submit() {
        uint64_t index = ring_->filled;
        {
            std::lock_guard<std::mutex> lock(ring_->mutex);
            ++ring_->filled;
        }
        ring_->changed.notify_all();
        for (size_t i = 0; i < count_; ++i) {
            if (!threads_[i].joinable()) RunStage(ring_, stages_[i], index, 1, Failed() != kOk);
        }
    }

    // Waits until the slot for the next chunk is free again; null once a
    // stage has failed.
    Chunk* NextSlot() {
        std::unique_lock<std::mutex> lock(ring_->mutex);
        size_t n = ring_->chunks.size();
        ring_->changed.wait(lock, [&] {
            if (ring_->error != kOk) return true;
            for (size_t i = 0; i < count_; ++i) {
                if (ring_->filled - ring_->*stages_[i].done >= n) return false;
            }
            return true;
        });
        if (ring_->error != kOk) return nullptr;
        return &ring_->chunks[ring_->filled % n];
    }

    // Lets the stages drain what they were given and stops them; the first
    // failure, if any.
    int32_t Finish() {
        {
            std::lock_guard<std::mutex> lock(ring_->mutex);
            ring_->finished = true;
        }
        ring_->changed.notify_all();
        for (size_t i = 0; i < count_; ++i) {
            if (threads_[i].joinable()) threads_[i].join();
        }
        return Failed();
    }

private:
    int32_t Failed() {
        std::lock_guard<std::mutex> lock(ring_->mutex);
        return ring_->error;
    }

    Ring* ring_;
    Stage stages_[2];
    std::thread threads_[2];
    size_t count_ = 0;
};

int32_t CopyAndHash(int in_fd, int out_fd, const PeLayout& layout, const PeStreamOptions& options,
                    Ring* ring, PeChecksum* checksum, bool* direct) {
    size_t step = options.chunk_size & ~size_t{7};
    // Direct writes need aligned offsets, so whole aligned chunks.
    CopyWriter writer(out_fd, options.direct_writes && step % kDirectAlign == 0);
    if (out_fd >= 0) ring->writer = &writer;
    // The writer may take up to two thirds of the ring at once, leaving the
    // reader room to keep the hasher fed meanwhile.
    size_t write_batch = kMaxWriteBytes / (step > 0 ? step : 1);
    size_t share = options.chunk_count - options.chunk_count / 3;
    if (write_batch > share) write_batch = share;
    if (write_batch == 0) write_batch = 1;
    Pipeline pipeline(ring, options.hash_thread, write_batch);
    for (uint64_t offset = 0; offset < layout.content_end;) {
        Chunk* slot = pipeline.NextSlot();
        if (slot == nullptr) break;
        Chunk& chunk = *slot;
        uint64_t left = layout.content_end - offset;
        chunk.offset = offset;
        chunk.size = left < step ? static_cast<size_t>(left) : step;
        int32_t hr = ReadAt(in_fd, offset, chunk.data.get(), chunk.size);
        if (hr != kOk) return hr;
        pipeline.Submit();
        AddToChecksum(checksum, chunk.data.get(), chunk.size);
        offset += chunk.size;
    }
    int32_t hr = pipeline.Finish();
    *direct = writer.used_direct();
    ring->writer = nullptr;
    return hr;
}

}  // namespace

int32_t StreamPeContent(int in_fd, int out_fd, const PeLayout& layout,
                        const PeStreamOptions& options, uint8_t digest[32],
                        PeChecksum* checksum) {
    if (options.chunk_size < 8 || options.chunk_count == 0) return kInvalidArg;
    *checksum = PeChecksum{};
    Ring ring;
    ring.skips[0] = {layout.checksum_offset, layout.checksum_offset + 4};
    ring.skips[1] = {layout.cert_entry_offset, layout.cert_entry_offset + 8};
    ring.chunks.resize(options.chunk_count);
    // Whole chunks whatever the file, so that the kept buffers fit every
    // file of a run; pages a small file does not reach are never touched.
    size_t bytes = ((options.chunk_size & ~size_t{7}) + 8 + kDirectAlign - 1) & ~(kDirectAlign - 1);
    for (Chunk& chunk : ring.chunks) {
        chunk.data = TakeReadBuffer(bytes, kDirectAlign);
        if (!chunk.data) return kOutOfMemory;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md) return kOutOfMemory;
    if (EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return kFail;
    ring.md = md.get();
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    // A shared copy already holds the content: the pass only reads.
    bool cloned = out_fd >= 0 && options.clone && CloneInto(in_fd, out_fd, layout.content_end);
    // Content that fits in one chunk is one read, one hash and one write:
    // nothing for threads to overlap, and a direct write would wait for the
    // device once more before the final flush writes the rest anyway. It is
    // hashed on this thread and written through the page cache.
    PeStreamOptions pass = options;
    if (layout.content_end <= (options.chunk_size & ~size_t{7})) {
        pass.hash_thread = false;
        pass.direct_writes = false;
    }
    bool direct = false;
    int32_t hr = CopyAndHash(in_fd, cloned ? -1 : out_fd, layout, pass, &ring, checksum, &direct);
    if (hr != kOk) return hr;
    if (options.path_taken != nullptr) {
        *options.path_taken = out_fd < 0 ? PeCopyPath::kNone
                              : cloned   ? PeCopyPath::kCloned
                              : direct   ? PeCopyPath::kDirect
                                         : PeCopyPath::kBuffered;
    }

    static const uint8_t kZeros[8] = {};
    size_t padding = static_cast<size_t>((8 - layout.content_end % 8) % 8);
    if (padding > 0) {
        if (EVP_DigestUpdate(md.get(), kZeros, padding) != 1) return kFail;
        AddToChecksum(checksum, kZeros, padding);
        if (out_fd >= 0) {
            hr = WriteAt(out_fd, layout.content_end, kZeros, padding);
            if (hr != kOk) return hr;
        }
    }
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &size) != 1 || size != 32) return kFail;
    return kOk;
}

}  // namespace authenticode
