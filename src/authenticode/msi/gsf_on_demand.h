// libgsf, loaded the first time an installer package is signed rather than
// with the signing library (see gsf_on_demand.cpp).
#pragma once

namespace authenticode::msi {

// Loads and initialises libgsf once; false when it cannot be loaded or
// lacks a function the package writer calls, and then for good. The
// libgsf and GLib functions the package writer calls load it as well;
// without it they do nothing and fail.
bool LoadGsf();

}  // namespace authenticode::msi
