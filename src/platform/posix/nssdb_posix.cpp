// Location of the user's NSS database, shared by the store and the signing library.
#include "platform/posix/nssdb_posix.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

namespace qm {

std::string UserNssDatabaseDir() {
    const char* home = getenv("HOME");
    std::string dir;
    if (home != nullptr && home[0] != '\0') {
        dir = home;
    } else {
        struct passwd* pw = getpwuid(getuid());
        if (pw != nullptr && pw->pw_dir != nullptr) dir = pw->pw_dir;
    }
    if (dir.empty()) dir = "/";
    if (dir.back() != '/') dir.push_back('/');
    return dir + ".pki/nssdb";
}

}  // namespace qm
