// Wildcard file arguments, expanded by the program itself.
#pragma once

#include "cmdline/arguments.h"

namespace qm {

// Appends every non-directory entry that the platform's enumeration yields
// for the pattern, written as the pattern's directory prefix (up to its last
// '/' or '\') followed by the entry's name. No match adds nothing.
void ExpandPattern(const WCHAR* pattern, bool verbose, FileList* files);

// Where a matched name goes: just after the last '/' or '\', else 0.
size_t InsertionPoint(const WCHAR* pattern, size_t length);

}  // namespace qm
