// The HRESULT values the PE side of the engine returns come from the
// engine's one table (the codes Windows returns for the same cause); code in
// authenticode::pe sees them through the enclosing namespace.
#pragma once

#include "../hresult.h"

namespace authenticode::pe {}
