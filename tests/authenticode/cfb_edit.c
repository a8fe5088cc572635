/* Test fixture tool: copies a compound file with libgsf and adds what wixl
 * does not make: a sub-storage with a class id and two streams (--storage),
 * a stale \x05MsiDigitalSignatureEx stream in the root (--dse), or a large
 * stream of N MiB (--big N, for measuring); --v4 writes 4096-byte sectors.
 * With --list it prints every entry (path, size or class id) instead.
 * usage: cfb_edit IN OUT [--storage] [--dse] [--big N] [--v4] | cfb_edit --list IN */
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void put(GsfOutfile* dir, const char* name, const char* text) {
    GsfOutput* s = gsf_outfile_new_child(dir, name, FALSE);
    gsf_output_write(s, strlen(text), (const guint8*)text);
    gsf_output_close(s);
    g_object_unref(s);
}

static int copy(GsfInfile* in, GsfOutfile* out) {
    int n = gsf_infile_num_children(in);
    for (int i = 0; i < n; ++i) {
        GsfInput* child = gsf_infile_child_by_index(in, i);
        const char* name = gsf_infile_name_by_index(in, i);
        gboolean dir = GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0;
        GsfOutput* o = gsf_outfile_new_child(out, name, dir);
        if (dir) {
            if (copy(GSF_INFILE(child), GSF_OUTFILE(o)) != 0) return 1;
        } else {
            gsf_off_t left = gsf_input_size(child);
            guint8 buf[65536];
            while (left > 0) {
                size_t k = left < (gsf_off_t)sizeof buf ? (size_t)left : sizeof buf;
                if (!gsf_input_read(child, k, buf) || !gsf_output_write(o, k, buf)) return 1;
                left -= (gsf_off_t)k;
            }
        }
        gsf_output_close(o);
        g_object_unref(o);
        g_object_unref(child);
    }
    guint8 id[16];
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(in), id);
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out), id);
    return 0;
}

static void list(GsfInfile* in, const char* prefix) {
    int n = gsf_infile_num_children(in);
    for (int i = 0; i < n; ++i) {
        GsfInput* child = gsf_infile_child_by_index(in, i);
        char path[512];
        snprintf(path, sizeof path, "%s/%s", prefix, gsf_infile_name_by_index(in, i));
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            guint8 id[16];
            gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child), id);
            printf("%s storage", path);
            for (int k = 0; k < 16; ++k) printf(" %02x", id[k]);
            printf("\n");
            list(GSF_INFILE(child), path);
        } else {
            printf("%s %ld\n", path, (long)gsf_input_size(child));
        }
        g_object_unref(child);
    }
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    gsf_init();
    if (strcmp(argv[1], "--list") == 0) {
        GError* e = NULL;
        GsfInput* input = gsf_input_stdio_new(argv[2], &e);
        GsfInfile* in = input ? gsf_infile_msole_new(input, &e) : NULL;
        if (!in) return 1;
        list(in, "");
        return 0;
    }
    GError* err = NULL;
    GsfInput* input = gsf_input_stdio_new(argv[1], &err);
    GsfInfile* in = input ? gsf_infile_msole_new(input, &err) : NULL;
    GsfOutput* sink = gsf_output_stdio_new(argv[2], &err);
    if (!in || !sink) return 1;
    gboolean v4 = FALSE;
    for (int i = 3; i < argc; ++i) v4 = v4 || strcmp(argv[i], "--v4") == 0;
    GsfOutfile* out = gsf_outfile_msole_new_full(sink, v4 ? 4096 : 512, 64);
    if (copy(in, out) != 0) return 1;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--storage") == 0) {
            GsfOutput* mid = gsf_outfile_new_child(GSF_OUTFILE(out), "Mid", TRUE);
            put(GSF_OUTFILE(mid), "zeta", "last by name");
            put(GSF_OUTFILE(mid), "alpha", "first by name");
            guint8 id[16];
            for (int k = 0; k < 16; ++k) id[k] = (guint8)(k + 1);
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(mid), id);
            gsf_output_close(mid);
            g_object_unref(mid);
        } else if (strcmp(argv[i], "--big") == 0 && i + 1 < argc) {
            long mib = atol(argv[++i]);
            GsfOutput* big = gsf_outfile_new_child(GSF_OUTFILE(out), "big", FALSE);
            static guint8 block[1 << 20];
            for (long k = 0; k < mib; ++k) {
                for (size_t j = 0; j < sizeof block; j += 4096) block[j] = (guint8)(k + j);
                if (!gsf_output_write(big, sizeof block, block)) return 1;
            }
            gsf_output_close(big);
            g_object_unref(big);
        } else if (strcmp(argv[i], "--v4") == 0) {
        } else if (strcmp(argv[i], "--dse") == 0) {
            put(GSF_OUTFILE(out), "\x05MsiDigitalSignatureEx", "0123456789abcdef0123456789abcdef");
        } else {
            return 2;
        }
    }
    if (!gsf_output_close(GSF_OUTPUT(out))) return 1;
    g_object_unref(out);
    g_object_unref(in);
    g_object_unref(input);
    return 0;
}
