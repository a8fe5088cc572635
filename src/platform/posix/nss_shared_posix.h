// The process's one NSS context per database, shared by the program's
// certificate store and the signing library: opened on first use, kept for
// the life of the process (with any token login), shut down once at exit.
#pragma once

#include <cstdint>
#include <string>

typedef struct PK11SlotInfoStr PK11SlotInfo;

namespace qm {

struct NssDatabase;

// Opens the NSS database in `dir` read-only, or finds it already open in
// this process. 0 with *db set; 0 with *db null when there is no database
// (an empty store); else a Windows error code: ERROR_ACCESS_DENIED for an
// unreadable one, ERROR_FILE_CORRUPT for one NSS cannot open or whose files
// are not regular files (a FIFO would block NSS's open without bound).
uint32_t OpenNssDatabase(const std::string& dir, NssDatabase** db);

// The tokens the database brought into the process (its own and those of
// the PKCS#11 modules it registers), in load order; owned by the database.
int NssDatabaseSlotCount(const NssDatabase* db);
PK11SlotInfo* NssDatabaseSlot(const NssDatabase* db, int index);

}  // namespace qm
