// Choosing the format of a file: content first, then its name.
#include "format.h"

#include <algorithm>

#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_io.h"
#include "hresult.h"

namespace authenticode {

int32_t DetectFormat(const std::string& path, const Format** format) {
    *format = nullptr;
    pe::SourceFile source;
    int32_t hr = pe::OpenSourceFile(path, &source);
    if (hr != kOk) return hr;
    uint64_t file_size = static_cast<uint64_t>(source.st.st_size);
    Bytes head(static_cast<size_t>(std::min<uint64_t>(file_size, kFileHeadSize)));
    hr = pe::ReadAt(source.fd.get(), 0, head.data(), head.size());
    if (hr != kOk) return hr;
    FileHead view{head.data(), head.size(), file_size, path};
    // Content tests in this order; scripts have no magic and come last.
    for (const Format* candidate : {&kPeFormat, &kMsiFormat, &kCabFormat, &kCatalogFormat, &kScriptFormat}) {
        if (candidate->claims(view)) {
            *format = candidate;
            return kOk;
        }
    }
    return kSubjectFormUnknown;
}

}  // namespace authenticode
