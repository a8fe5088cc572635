// The settings file beside the executable: quillmark.ini, section QUILLMARK.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qm {

// Reads CertName, and TimeStampUrl when present (which then replaces the
// URL given on the command line). Fails, leaving both untouched, when no
// CertName comes back.
bool ReadSettingsFile(const WCHAR** certificateId, const WCHAR** timestampUrl);

// The settings file's path for an executable path: everything after the
// last '\' (or '/') replaced by "quillmark.ini". Empty when the path has no
// separator.
std::basic_string<WCHAR> SettingsPathFor(const WCHAR* executablePath, size_t length);

}  // namespace qm
