// Windows Installer packages behind the format interface. The compound file
// is checked by our own directory reader, then copied stream by stream with
// libgsf into a new compound file; the copy goes in the order the digest
// needs (children of each storage sorted by their UTF-16LE name bytes, a
// storage's class id after its children), so one read pass both hashes and
// copies. The signature becomes the root's \x05DigitalSignature stream; an
// old one and an old \x05MsiDigitalSignatureEx are not carried over.
// libgsf is loaded when the first package is signed (gsf_on_demand.cpp).
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "authenticode/format.h"
#include "authenticode/hresult.h"
#include "authenticode/msi/cfb_directory.h"
#include "authenticode/msi/gsf_on_demand.h"
#include "authenticode/pe/file_replace.h"
#include "authenticode/pe/pe_io.h"
#include "authenticode/sha256_stream.h"
#include "authenticode/spc.h"

namespace authenticode {
namespace {

constexpr const char kSignatureStream[] = "\x05" "DigitalSignature";
constexpr const char kSignatureExStream[] = "\x05" "MsiDigitalSignatureEx";
constexpr uint64_t kMaxExistingSignature = 32u << 20;
constexpr size_t kChunk = 1u << 20;

// The installer package subject interface {000C10F1-0000-0000-C000-000000000046}.
constexpr uint8_t kMsiSip[16] = {0xf1, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

struct Unref {
    void operator()(void* object) const {
        if (object != nullptr) g_object_unref(object);
    }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

bool ClaimsMsi(const FileHead& head) { return msi::LooksLikeCompoundFile(head.data, head.size); }

bool ReadFromFd(uint64_t offset, uint8_t* out, size_t size, void* context) {
    return pe::ReadAt(*static_cast<int*>(context), offset, out, size) == kOk;
}

// A child name as the hash orders it: UTF-16LE bytes.
Bytes SortKey(const char* utf8) {
    Bytes key;
    glong count = 0;
    gunichar2* units = g_utf8_to_utf16(utf8, -1, nullptr, &count, nullptr);
    if (units == nullptr) return key;
    for (glong i = 0; i < count; ++i) {
        key.push_back(static_cast<uint8_t>(units[i]));
        key.push_back(static_cast<uint8_t>(units[i] >> 8));
    }
    g_free(units);
    return key;
}

struct Child {
    Bytes key;
    int index;
    std::string name;
};

struct Copy {
    Sha256Stream* sha;
    Bytes buffer;
};

int32_t CopyStream(GsfInput* in, GsfOutput* out, Copy* copy) {
    gsf_off_t left = gsf_input_size(in);
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<gsf_off_t>(left, static_cast<gsf_off_t>(copy->buffer.size())));
        if (gsf_input_read(in, n, copy->buffer.data()) == nullptr) return kBadPackage;
        copy->sha->Update(copy->buffer.data(), n);
        if (!gsf_output_write(out, n, copy->buffer.data())) return kWriteFault;
        left -= static_cast<gsf_off_t>(n);
    }
    return kOk;
}

// Hashes and copies the children of `in` into `out`, then hashes the class id.
int32_t CopyStorage(GsfInfile* in, GsfOutfile* out, bool is_root, Copy* copy) {
    int count = gsf_infile_num_children(in);
    std::vector<Child> children;
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(in, i);
        if (name == nullptr) return kBadPackage;
        if (is_root && (std::strcmp(name, kSignatureStream) == 0 || std::strcmp(name, kSignatureExStream) == 0)) {
            continue;
        }
        children.push_back(Child{SortKey(name), i, name});
        if (children.back().key.empty()) return kBadPackage;
    }
    // Byte order of the names; a shorter name first on a common prefix.
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) { return a.key < b.key; });
    for (const Child& child : children) {
        Ref<GsfInput> in_child(gsf_infile_child_by_index(in, child.index));
        if (!in_child) return kBadPackage;
        bool is_storage = GSF_IS_INFILE(in_child.get()) && gsf_infile_num_children(GSF_INFILE(in_child.get())) >= 0;
        Ref<GsfOutput> out_child(gsf_outfile_new_child(out, child.name.c_str(), is_storage));
        if (!out_child) return kWriteFault;
        int32_t hr = is_storage ? CopyStorage(GSF_INFILE(in_child.get()), GSF_OUTFILE(out_child.get()), false, copy)
                                : CopyStream(in_child.get(), out_child.get(), copy);
        if (hr != kOk) return hr;
        if (!gsf_output_close(out_child.get())) return kWriteFault;
    }
    uint8_t class_id[16] = {};
    if (!gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(in), class_id)) return kBadPackage;
    copy->sha->Update(class_id, sizeof class_id);
    if (!gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out), class_id)) return kWriteFault;
    return kOk;
}

int32_t ReadExisting(GsfInfile* root, Bytes* existing) {
    existing->clear();
    Ref<GsfInput> stream(gsf_infile_child_by_name(root, kSignatureStream));
    if (!stream) return kOk;
    gsf_off_t size = gsf_input_size(stream.get());
    if (size <= 0) return kOk;
    if (static_cast<uint64_t>(size) > kMaxExistingSignature) return kOutOfMemory;
    existing->resize(static_cast<size_t>(size));
    if (gsf_input_read(stream.get(), existing->size(), existing->data()) == nullptr) return kBadPackage;
    return kOk;
}

// The original as libgsf reads it, through a second descriptor on the file
// we checked.
int32_t OpenInput(const pe::SourceFile& source, Ref<GsfInfile>* out) {
    int fd = dup(source.fd.get());
    if (fd < 0) return kOutOfMemory;
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        close(fd);
        return kOutOfMemory;
    }
    Ref<GsfInput> input(gsf_input_stdio_new_FILE(source.target.c_str(), stream, FALSE));
    if (!input) {
        fclose(stream);
        return kBadPackage;
    }
    GError* error = nullptr;
    out->reset(gsf_infile_msole_new(input.get(), &error));
    if (error != nullptr) g_error_free(error);
    return *out ? kOk : kBadPackage;
}

int32_t OpenOutput(const pe::TempFile& temp, uint32_t sector_size, Ref<GsfOutput>* sink, Ref<GsfOutfile>* out) {
    int fd = dup(temp.fd());
    if (fd < 0) return kOutOfMemory;
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        return kOutOfMemory;
    }
    sink->reset(gsf_output_stdio_new_FILE("signed package", stream, FALSE));
    if (!*sink) {
        fclose(stream);
        return kWriteFault;
    }
    out->reset(gsf_outfile_msole_new_full(sink->get(), sector_size, 64));
    return *out ? kOk : kWriteFault;
}

int32_t RewriteMsi(const std::string& path, ContentSigner signer, void* context) {
    // Before the file is opened: without libgsf nothing is touched.
    if (!msi::LoadGsf()) return kModNotFound;
    pe::SourceFile source;
    int32_t hr = pe::OpenFileToReplace(path, &source);
    if (hr != kOk) return hr;
    int fd = source.fd.get();
    msi::CfbSummary summary;
    hr = msi::ReadCfbDirectory(static_cast<uint64_t>(source.st.st_size), ReadFromFd, &fd, &summary);
    if (hr != kOk) return hr;
    // Other compound files (documents, patches, transforms) are not packages.
    if (std::memcmp(summary.root_class_id, msi::kMsiClassId, 16) != 0) return kSubjectFormUnknown;

    Ref<GsfInfile> input;
    hr = OpenInput(source, &input);
    if (hr != kOk) return hr;
    Bytes existing;
    hr = ReadExisting(input.get(), &existing);
    if (hr != kOk) return hr;

    pe::TempFile temp;
    hr = temp.Create(source.target);
    if (hr != kOk) return hr;
    Ref<GsfOutput> sink;
    Ref<GsfOutfile> output;
    hr = OpenOutput(temp, summary.sector_size, &sink, &output);
    if (hr != kOk) return hr;
    Sha256Stream sha;
    Copy copy{&sha, Bytes(kChunk)};
    hr = CopyStorage(input.get(), output.get(), true, &copy);
    if (hr != kOk) return hr;
    uint8_t digest[32];
    if (!sha.Final(digest)) return kFail;

    SignedContent content{oid::kSpcIndirectData, EncodeIndirectData(EncodeSipInfoData(1, kMsiSip), digest)};
    Bytes signature;
    hr = signer(content, existing, &signature, context);
    if (hr != kOk) return hr;
    Ref<GsfOutput> stream(gsf_outfile_new_child(output.get(), kSignatureStream, FALSE));
    if (!stream || !gsf_output_write(stream.get(), signature.size(), signature.data()) ||
        !gsf_output_close(stream.get())) {
        return kWriteFault;
    }
    // Closing the root writes the directory and closes the sink with it.
    if (!gsf_output_close(GSF_OUTPUT(output.get()))) return kWriteFault;
    if (!gsf_output_is_closed(sink.get()) && !gsf_output_close(sink.get())) return kWriteFault;
    return temp.CommitOver(source);
}

}  // namespace

const Format kMsiFormat = {"Windows Installer package", ClaimsMsi, RewriteMsi};

}  // namespace authenticode
