#include "authenticode/format.h"
#include "authenticode/hresult.h"
namespace authenticode {
namespace {
bool ClaimsMsi(const FileHead&) { return false; }
int32_t RewriteMsi(const std::string&, ContentSigner, void*) { return kSubjectFormUnknown; }
}  // namespace
const Format kMsiFormat = {"Windows Installer package", ClaimsMsi, RewriteMsi};
}  // namespace authenticode
