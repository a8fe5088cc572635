// The streaming pass. SHA-256 is the slowest part by far (about 1.3 GB/s with
// SHA-NI), so it runs on its own thread over a small ring of buffers while
// this thread reads, sums the checksum and writes. The copy is made the
// cheapest way the file system offers: shared extents (nothing to write),
// else direct writes from the read buffers (no second copy into the page
// cache, which cost more than the hash itself in profiles, and the data is
// on the device once written), else buffered writes pushed to disk as they
// go (sync_file_range) so the final fsync has little left to do.
#include "authenticode/pe/pe_stream.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <openssl/evp.h>
#include <thread>
#include <vector>

#include "authenticode/pe/copy_io.h"
#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"

namespace authenticode {
namespace {

using namespace pe;

// Start writeback of the copy every this many bytes.
constexpr uint64_t kWritebackStep = 16u << 20;

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

struct FreeBuffer {
    void operator()(uint8_t* p) const { std::free(p); }
};

struct Chunk {
    std::unique_ptr<uint8_t, FreeBuffer> data;  // aligned for direct writes
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

    void StopDirect() {
        if (direct_) direct_ = SetDirectWrites(fd_, false);
    }

private:
    int fd_;
    bool direct_ = false;
    bool used_direct_ = false;
    uint64_t written_back_ = 0;
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

typedef int32_t (*StageWork)(Ring* ring, const Chunk& chunk);

int32_t HashChunk(Ring* ring, const Chunk& chunk) {
    return HashExcluding(ring->md, chunk.data.get(), chunk.offset, chunk.size, ring->skips) ? kOk : kFail;
}

int32_t WriteChunk(Ring* ring, const Chunk& chunk) {
    return ring->writer->Write(chunk.offset, chunk.data.get(), chunk.size);
}

struct Stage {
    uint64_t Ring::*done;
    StageWork work;
};

// Runs `stage` on `chunk` and counts it; after a failure the remaining
// chunks are only counted.
void RunStage(Ring* ring, const Stage& stage, const Chunk& chunk, bool skip) {
    int32_t hr = skip ? kOk : stage.work(ring, chunk);
    {
        std::lock_guard<std::mutex> lock(ring->mutex);
        if (hr != kOk && ring->error == kOk) ring->error = hr;
        ++(ring->*stage.done);
    }
    ring->changed.notify_all();
}

void StageLoop(Ring* ring, Stage stage) {
    for (;;) {
        const Chunk* chunk;
        bool skip;
        {
            std::unique_lock<std::mutex> lock(ring->mutex);
            ring->changed.wait(lock, [&] { return ring->filled > ring->*stage.done || ring->finished; });
            if (ring->filled == ring->*stage.done) return;  // finished and drained
            chunk = &ring->chunks[ring->*stage.done % ring->chunks.size()];
            skip = ring->error != kOk;
        }
        RunStage(ring, stage, *chunk, skip);
    }
}

// Runs the stages for the lifetime of the pass, each on its own thread where
// one can be had (else inline, on the reader's), and always joins them.
class Pipeline {
public:
    Pipeline(Ring* ring, bool threaded) : ring_(ring) {
        stages_[count_++] = {&Ring::hashed, HashChunk};
        if (ring->writer != nullptr) stages_[count_++] = {&Ring::written, WriteChunk};
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
        const Chunk& chunk = ring_->chunks[ring_->filled % ring_->chunks.size()];
        {
            std::lock_guard<std::mutex> lock(ring_->mutex);
            ++ring_->filled;
        }
        ring_->changed.notify_all();
        for (size_t i = 0; i < count_; ++i) {
            if (!threads_[i].joinable()) RunStage(ring_, stages_[i], chunk, Failed());
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
    Pipeline pipeline(ring, options.hash_thread);
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
    uint64_t want = layout.content_end < options.chunk_size ? layout.content_end : options.chunk_size;
    size_t bytes = (static_cast<size_t>(want) + 8 + kDirectAlign - 1) & ~(kDirectAlign - 1);
    for (Chunk& chunk : ring.chunks) {
        void* data = nullptr;
        if (posix_memalign(&data, kDirectAlign, bytes) != 0) return kOutOfMemory;
        chunk.data.reset(static_cast<uint8_t*>(data));
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
    bool direct = false;
    int32_t hr = CopyAndHash(in_fd, cloned ? -1 : out_fd, layout, options, &ring, checksum, &direct);
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
