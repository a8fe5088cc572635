// libgsf, loaded the first time an installer package is signed. Linked
// directly, libgsf and what it pulls in (GLib, GObject, GIO, libxml2, ICU,
// libmount, libselinux, ...) took about 3 ms to load and relocate in every
// process that loaded the signing library, though only packages use it.
// These definitions stand in for the libgsf and GLib functions the package
// writer calls (msi_sign.cpp, including those the GObject cast and type-test
// macros expand to) and forward to the real ones. They are hidden: the
// signing library neither exports them nor lets them take the place of the
// real ones for anyone else. The library is opened RTLD_LOCAL for the same
// reason, and never closed once bound (GObject types cannot be unloaded).
#include "authenticode/msi/gsf_on_demand.h"

#include <dlfcn.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <mutex>

#include "authenticode/bind_symbol.h"

// Every function the stand-ins forward to, and gsf_init, which loading calls.
#define QM_GSF_FUNCTIONS(X)             \
    X(gsf_init)                         \
    X(g_error_free)                     \
    X(g_free)                           \
    X(g_object_unref)                   \
    X(g_type_check_instance_cast)       \
    X(g_type_check_instance_is_a)       \
    X(g_utf8_to_utf16)                  \
    X(gsf_infile_child_by_index)        \
    X(gsf_infile_child_by_name)         \
    X(gsf_infile_get_type)              \
    X(gsf_infile_msole_get_class_id)    \
    X(gsf_infile_msole_get_type)        \
    X(gsf_infile_msole_new)             \
    X(gsf_infile_name_by_index)         \
    X(gsf_infile_num_children)          \
    X(gsf_input_read)                   \
    X(gsf_input_size)                   \
    X(gsf_input_stdio_new_FILE)         \
    X(gsf_outfile_get_type)             \
    X(gsf_outfile_msole_get_type)       \
    X(gsf_outfile_msole_new_full)       \
    X(gsf_outfile_msole_set_class_id)   \
    X(gsf_outfile_new_child)            \
    X(gsf_output_close)                 \
    X(gsf_output_get_type)              \
    X(gsf_output_is_closed)             \
    X(gsf_output_stdio_new_FILE)        \
    X(gsf_output_write)

namespace {

// One pointer per function, each of the type its header declares.
struct Gsf {
#define QM_GSF_MEMBER(name) decltype(&::name) name;
    QM_GSF_FUNCTIONS(QM_GSF_MEMBER)
#undef QM_GSF_MEMBER
};

// Null until libgsf is loaded, and for good when it cannot be.
const Gsf* Library() {
    static Gsf gsf;
    static bool ok = false;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = dlopen(QM_GSF_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
#define QM_GSF_BIND(name) &&authenticode::BindSymbol(library, #name, &gsf.name)
        ok = true QM_GSF_FUNCTIONS(QM_GSF_BIND);
#undef QM_GSF_BIND
        if (!ok) {
            // Nothing of it has run: closing it is safe.
            dlclose(library);
            return;
        }
        gsf.gsf_init();
    });
    return ok ? &gsf : nullptr;
}

}  // namespace

namespace authenticode::msi {

bool LoadGsf() { return Library() != nullptr; }

}  // namespace authenticode::msi

// Without the library each call fails the way the function reports failure
// (no object, FALSE, -1), and frees nothing, since nothing was made.
extern "C" {

void g_error_free(GError* error) {
    if (const Gsf* g = Library()) g->g_error_free(error);
}

void g_free(gpointer memory) {
    if (const Gsf* g = Library()) g->g_free(memory);
}

void g_object_unref(gpointer object) {
    if (const Gsf* g = Library()) g->g_object_unref(object);
}

GTypeInstance* g_type_check_instance_cast(GTypeInstance* instance, GType type) {
    const Gsf* g = Library();
    return g != nullptr ? g->g_type_check_instance_cast(instance, type) : nullptr;
}

gboolean g_type_check_instance_is_a(GTypeInstance* instance, GType type) {
    const Gsf* g = Library();
    return g != nullptr ? g->g_type_check_instance_is_a(instance, type) : FALSE;
}

gunichar2* g_utf8_to_utf16(const gchar* text, glong length, glong* read, glong* written, GError** error) {
    const Gsf* g = Library();
    return g != nullptr ? g->g_utf8_to_utf16(text, length, read, written, error) : nullptr;
}

GsfInput* gsf_infile_child_by_index(GsfInfile* infile, int i) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_child_by_index(infile, i) : nullptr;
}

GsfInput* gsf_infile_child_by_name(GsfInfile* infile, char const* name) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_child_by_name(infile, name) : nullptr;
}

GType gsf_infile_get_type() {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_get_type() : G_TYPE_INVALID;
}

gboolean gsf_infile_msole_get_class_id(GsfInfileMSOle const* ole, guint8* res) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_msole_get_class_id(ole, res) : FALSE;
}

GType gsf_infile_msole_get_type() {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_msole_get_type() : G_TYPE_INVALID;
}

GsfInfile* gsf_infile_msole_new(GsfInput* source, GError** error) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_msole_new(source, error) : nullptr;
}

char const* gsf_infile_name_by_index(GsfInfile* infile, int i) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_name_by_index(infile, i) : nullptr;
}

int gsf_infile_num_children(GsfInfile* infile) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_infile_num_children(infile) : -1;
}

guint8 const* gsf_input_read(GsfInput* input, size_t num_bytes, guint8* optional_buffer) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_input_read(input, num_bytes, optional_buffer) : nullptr;
}

gsf_off_t gsf_input_size(GsfInput* input) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_input_size(input) : -1;
}

GsfInput* gsf_input_stdio_new_FILE(char const* filename, FILE* file, gboolean keep_open) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_input_stdio_new_FILE(filename, file, keep_open) : nullptr;
}

GType gsf_outfile_get_type() {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_outfile_get_type() : G_TYPE_INVALID;
}

GType gsf_outfile_msole_get_type() {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_outfile_msole_get_type() : G_TYPE_INVALID;
}

GsfOutfile* gsf_outfile_msole_new_full(GsfOutput* sink, guint bb_size, guint sb_size) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_outfile_msole_new_full(sink, bb_size, sb_size) : nullptr;
}

gboolean gsf_outfile_msole_set_class_id(GsfOutfileMSOle* ole, guint8 const* clsid) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_outfile_msole_set_class_id(ole, clsid) : FALSE;
}

GsfOutput* gsf_outfile_new_child(GsfOutfile* outfile, char const* name, gboolean is_dir) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_outfile_new_child(outfile, name, is_dir) : nullptr;
}

gboolean gsf_output_close(GsfOutput* output) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_output_close(output) : FALSE;
}

GType gsf_output_get_type() {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_output_get_type() : G_TYPE_INVALID;
}

gboolean gsf_output_is_closed(GsfOutput const* output) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_output_is_closed(output) : FALSE;
}

GsfOutput* gsf_output_stdio_new_FILE(char const* filename, FILE* file, gboolean keep_open) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_output_stdio_new_FILE(filename, file, keep_open) : nullptr;
}

gboolean gsf_output_write(GsfOutput* output, size_t num_bytes, guint8 const* data) {
    const Gsf* g = Library();
    return g != nullptr ? g->gsf_output_write(output, num_bytes, data) : FALSE;
}

}  // extern "C"
