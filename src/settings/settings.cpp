// Settings file fallback for the certificate identifier and timestamp URL.
#include "settings/settings.h"

#include <string>

#include "console/output.h"

namespace qm {

namespace {

// Values come back through a 256-unit buffer: at most 255 characters.
constexpr DWORD kValueBufferSize = 256;
// Room for the longest path the platform can report, so that a deep
// installation folder still finds its settings file.
constexpr DWORD kModulePathBufferSize = 32768;

const WCHAR kSection[] = QM_WIDE("QUILLMARK");
const WCHAR kFileName[] = QM_WIDE("quillmark.ini");

DWORD ReadValue(const WCHAR* key, WCHAR* buffer, const std::basic_string<WCHAR>& path) {
    return GetPrivateProfileStringW(kSection, key, QM_WIDE(""), buffer, kValueBufferSize,
                                    path.c_str());
}

}  // namespace

std::basic_string<WCHAR> SettingsPathFor(const WCHAR* executablePath, size_t length) {
    size_t cut = length;
    while (cut > 0 && executablePath[cut - 1] != '\\' && executablePath[cut - 1] != '/') --cut;
    if (cut == 0) return std::basic_string<WCHAR>();
    std::basic_string<WCHAR> path(executablePath, cut);
    path.append(kFileName);
    return path;
}

bool ReadSettingsFile(const WCHAR** certificateId, const WCHAR** timestampUrl) {
    std::basic_string<WCHAR> module(kModulePathBufferSize, 0);
    DWORD length = GetModuleFileNameW(nullptr, module.data(), kModulePathBufferSize);
    if (length == 0 || length >= kModulePathBufferSize) return false;
    std::basic_string<WCHAR> path = SettingsPathFor(module.data(), length);
    if (path.empty()) return false;

    WCHAR value[kValueBufferSize];
    DWORD copied = ReadValue(QM_WIDE("CertName"), value, path);
    if (copied == 0) return false;
    *certificateId = KeepString(value, copied);

    copied = ReadValue(QM_WIDE("TimeStampUrl"), value, path);
    if (copied != 0) *timestampUrl = KeepString(value, copied);
    return true;
}

}  // namespace qm
