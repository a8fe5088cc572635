// Where the current user's personal certificate store lives on POSIX: the
// user's NSS shared database, $HOME/.pki/nssdb.
#pragma once

#include <string>

namespace qm {

// The database directory (without the "sql:" prefix). HOME when set and
// not empty, else the home directory of the user's password entry.
std::string UserNssDatabaseDir();

}  // namespace qm
