// A function of a library opened at run time, bound to a pointer of the
// type its header declares (for the libraries loaded on first use).
#pragma once

#include <dlfcn.h>

namespace authenticode {

template <typename T>
bool BindSymbol(void* library, const char* name, T* out) {
    *out = reinterpret_cast<T>(dlsym(library, name));
    return *out != nullptr;
}

}  // namespace authenticode
