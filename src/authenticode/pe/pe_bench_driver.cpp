// Signs PE files through RewritePeSignature with a fixed dummy signature of a
// realistic size: the engine's file side alone, for benchmarks and manual
// checks while no signing library is built.
//   qm_pe_bench_driver FILE... (QM_DUMMY_SIGNATURE_BYTES sets the blob size;
//   QM_COPY_PATH=buffered|direct|clone limits how the copy may be made, and
//   the path taken is printed; QM_CHUNK_KIB and QM_CHUNK_COUNT size the ring)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "authenticode/pe/pe_sign.h"

namespace {

// A DER SEQUENCE of zeros: shaped like a signature, so a re-sign hands it on.
int32_t DummyMaker(const uint8_t* /*digest*/, const std::vector<uint8_t>& /*existing*/,
                   std::vector<uint8_t>* signature, void* context) {
    size_t size = *static_cast<size_t*>(context);
    signature->assign(size, 0);
    size_t body = size - 4;
    (*signature)[0] = 0x30;
    (*signature)[1] = 0x82;
    (*signature)[2] = static_cast<uint8_t>(body >> 8);
    (*signature)[3] = static_cast<uint8_t>(body);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    size_t size = 6000;  // an RSA-3072 signature with two certificates and a timestamp
    if (const char* text = std::getenv("QM_DUMMY_SIGNATURE_BYTES")) size = std::strtoul(text, nullptr, 10);
    if (size < 4 || size > 0xFFFF) size = 6000;
    authenticode::PeStreamOptions options;
    authenticode::PeCopyPath taken = authenticode::PeCopyPath::kNone;
    options.path_taken = &taken;
    if (const char* path = std::getenv("QM_COPY_PATH")) {
        options.clone = std::strcmp(path, "clone") == 0;
        options.direct_writes = std::strcmp(path, "buffered") != 0;
    }
    if (const char* kib = std::getenv("QM_CHUNK_KIB")) options.chunk_size = std::strtoul(kib, nullptr, 10) << 10;
    if (const char* count = std::getenv("QM_CHUNK_COUNT")) options.chunk_count = std::strtoul(count, nullptr, 10);
    static const char* const kPathNames[] = {"none", "cloned", "direct", "buffered"};
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        int32_t hr = authenticode::RewritePeSignature(argv[i], DummyMaker, &size, options);
        std::printf("%s: %s (%08x), copy %s\n", argv[i], hr == 0 ? "signed" : "failed", static_cast<unsigned>(hr),
                    kPathNames[static_cast<int>(taken)]);
        if (hr != 0) status = 1;
    }
    return status;
}
