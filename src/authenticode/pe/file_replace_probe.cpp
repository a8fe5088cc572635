// A test helper: replaces one file through the file replacement steps, as
// a signer of any format does, with the old content and a marker appended,
// and prints the resulting HRESULT in hex. Run under setpriv by the tests
// to act as another user.
//   file_replace_probe PATH
#include <cstdio>
#include <string>
#include <vector>

#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_hresult.h"
#include "authenticode/pe/pe_io.h"

namespace {

int32_t Replace(const std::string& path) {
    using namespace authenticode::pe;
    SourceFile source;
    int32_t hr = OpenSourceFile(path, &source);
    if (hr != authenticode::kOk) return hr;
    hr = CheckWritable(source);
    if (hr != authenticode::kOk) return hr;
    std::vector<uint8_t> bytes(static_cast<size_t>(source.st.st_size));
    hr = ReadAt(source.fd.get(), 0, bytes.data(), bytes.size());
    if (hr != authenticode::kOk) return hr;
    static const char kMarker[] = "+signed";
    bytes.insert(bytes.end(), kMarker, kMarker + sizeof kMarker - 1);
    TempFile temp;
    hr = temp.Create(source.target);
    if (hr != authenticode::kOk) return hr;
    hr = WriteAt(temp.fd(), 0, bytes.data(), bytes.size());
    if (hr != authenticode::kOk) return hr;
    return temp.CommitOver(source);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: file_replace_probe PATH\n");
        return 2;
    }
    std::printf("%08x\n", static_cast<unsigned>(Replace(argv[1])));
    return 0;
}
