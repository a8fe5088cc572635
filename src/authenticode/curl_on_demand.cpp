// libcurl, loaded the first time a timestamp is asked for. Linked directly,
// libcurl and the forty libraries it pulls in (TLS, Kerberos, LDAP, ...)
// took 20-25 ms to load and relocate in every process that loaded the
// signing library, timestamp or not. These definitions stand in for the
// libcurl functions the timestamp client calls and forward to the real ones.
// Without it, curl.h turns curl_easy_setopt and curl_easy_getinfo into
// type-checking macros, which cannot be defined.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>
#include <mutex>

#include "authenticode/bind_symbol.h"

namespace {

struct Curl {
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    void (*easy_cleanup)(CURL*);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
};

// Null when libcurl cannot be loaded: the calls then fail as curl fails
// (no handle, CURLE_FAILED_INIT).
const Curl* Library() {
    static Curl curl;
    static bool ok = false;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = dlopen(QM_CURL_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        ok = authenticode::BindSymbol(library, "curl_easy_init", &curl.easy_init) &&
             authenticode::BindSymbol(library, "curl_easy_setopt", &curl.easy_setopt) &&
             authenticode::BindSymbol(library, "curl_easy_perform", &curl.easy_perform) &&
             authenticode::BindSymbol(library, "curl_easy_getinfo", &curl.easy_getinfo) &&
             authenticode::BindSymbol(library, "curl_easy_cleanup", &curl.easy_cleanup) &&
             authenticode::BindSymbol(library, "curl_slist_append", &curl.slist_append) &&
             authenticode::BindSymbol(library, "curl_slist_free_all", &curl.slist_free_all);
    });
    return ok ? &curl : nullptr;
}

}  // namespace

extern "C" {

CURL* curl_easy_init() {
    const Curl* c = Library();
    return c != nullptr ? c->easy_init() : nullptr;
}

// Every option takes one argument, whose type the option's number tells.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    const Curl* c = Library();
    if (c == nullptr) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, option);
    CURLcode rc;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        rc = c->easy_setopt(handle, option, va_arg(args, long));
    } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
        rc = c->easy_setopt(handle, option, va_arg(args, void*));
    } else if (option < CURLOPTTYPE_OFF_T) {
        rc = c->easy_setopt(handle, option, va_arg(args, void (*)()));
    } else if (option < CURLOPTTYPE_BLOB) {
        rc = c->easy_setopt(handle, option, va_arg(args, curl_off_t));
    } else {
        rc = c->easy_setopt(handle, option, va_arg(args, void*));
    }
    va_end(args);
    return rc;
}

CURLcode curl_easy_perform(CURL* handle) {
    const Curl* c = Library();
    return c != nullptr ? c->easy_perform(handle) : CURLE_FAILED_INIT;
}

// Every query takes a pointer to where the answer goes.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
    const Curl* c = Library();
    if (c == nullptr) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, info);
    CURLcode rc = c->easy_getinfo(handle, info, va_arg(args, void*));
    va_end(args);
    return rc;
}

void curl_easy_cleanup(CURL* handle) {
    const Curl* c = Library();
    if (c != nullptr) c->easy_cleanup(handle);
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
    const Curl* c = Library();
    return c != nullptr ? c->slist_append(list, text) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
    const Curl* c = Library();
    if (c != nullptr) c->slist_free_all(list);
}

}  // extern "C"
