// The pool behind read_buffers.h: a short list under a lock, since the
// signing library may be called from more than one thread.
#include "authenticode/pe/read_buffers.h"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace authenticode::pe {
namespace {

// Enough for the ring of a large file (six 2 MiB chunks) with room to spare.
constexpr size_t kKeptBytes = 16u << 20;
constexpr size_t kPoolAlign = 4096;

struct Kept {
    uint8_t* buffer;
    size_t capacity;
};

std::mutex g_lock;
std::vector<Kept>* g_kept = nullptr;  // never freed: what it holds is reachable until exit
size_t g_kept_bytes = 0;

}  // namespace

void ReadBufferReturn::operator()(uint8_t* buffer) const {
    if (buffer == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_kept_bytes + capacity <= kKeptBytes) {
            try {
                if (g_kept == nullptr) g_kept = new std::vector<Kept>;
                g_kept->push_back({buffer, capacity});
                g_kept_bytes += capacity;
                return;
            } catch (...) {
                // No room to keep it: freed below.
            }
        }
    }
    std::free(buffer);
}

ReadBuffer TakeReadBuffer(size_t capacity, size_t alignment) {
    if (alignment == 0 || alignment > kPoolAlign || (alignment & (alignment - 1)) != 0) return ReadBuffer();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_kept != nullptr) {
            // The smallest kept buffer that is large enough.
            size_t best = g_kept->size();
            for (size_t i = 0; i < g_kept->size(); ++i) {
                if ((*g_kept)[i].capacity >= capacity &&
                    (best == g_kept->size() || (*g_kept)[i].capacity < (*g_kept)[best].capacity)) {
                    best = i;
                }
            }
            if (best < g_kept->size()) {
                Kept found = (*g_kept)[best];
                (*g_kept)[best] = g_kept->back();
                g_kept->pop_back();
                g_kept_bytes -= found.capacity;
                return ReadBuffer(found.buffer, ReadBufferReturn{found.capacity});
            }
        }
    }
    void* buffer = nullptr;
    if (posix_memalign(&buffer, kPoolAlign, capacity) != 0) return ReadBuffer();
    return ReadBuffer(static_cast<uint8_t*>(buffer), ReadBufferReturn{capacity});
}

}  // namespace authenticode::pe
