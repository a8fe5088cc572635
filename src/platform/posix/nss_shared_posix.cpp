// One NSS context per database for the whole process (see nss_shared_posix.h).
//
// The program links this file and so does libmssign32.so, each with a copy
// of its own. The program exports its table of entry points; the library
// finds it with dlsym and uses the program's databases, so a run opens the
// user's database once, and a token stays logged in from one file to the
// next. A host without that table (another program loading the library)
// gets the library's own copy, which behaves the same.
#include "platform/posix/nss_shared_posix.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nss.h>
#include <pk11pub.h>
#include <secmod.h>

#include <mutex>
#include <vector>

#include "platform/platform.h"

extern "C" {

struct QuillmarkNssTable {
    uint32_t version;
    uint32_t (*open)(const char* dir, void** db);
    int (*slot_count)(const void* db);
    PK11SlotInfo* (*slot)(const void* db, int index);
};

__attribute__((visibility("default"))) const QuillmarkNssTable* quillmark_nss_table(void);

}  // extern "C"

namespace qm {

struct NssDatabase {
    std::string dir;
    NSSInitContext* context;
    std::vector<PK11SlotInfo*> slots;  // references held until shutdown
};

namespace {

// Bumped whenever QuillmarkNssTable or NssDatabase changes shape.
constexpr uint32_t kTableVersion = 1;

std::mutex g_lock;
std::vector<NssDatabase*>* g_databases = nullptr;

// Whether this copy is the program's own (defined with the table).
bool ServesTheProgram();

// The table the program exports, if the process is the program.
const QuillmarkNssTable* ExportedTable() {
    using Getter = const QuillmarkNssTable* (*)();
    auto getter = reinterpret_cast<Getter>(dlsym(RTLD_DEFAULT, "quillmark_nss_table"));
    return getter != nullptr ? getter() : nullptr;
}

// Whether every PKCS#11 module loaded is NSS's own (no token's).
bool OnlyNssModules() {
    SECMODListLock* lock = SECMOD_GetDefaultModuleListLock();
    if (lock == nullptr) return false;
    bool own = true;
    SECMOD_GetReadLock(lock);
    for (SECMODModuleList* m = SECMOD_GetDefaultModuleList(); m != nullptr; m = m->next) {
        own = own && m->module != nullptr && m->module->internal;
    }
    SECMOD_ReleaseReadLock(lock);
    return own;
}

void ShutdownAll() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_databases == nullptr) return;
    // The program's databases are open read-only: with only NSS's own
    // module loaded, shutting down writes nothing and tells no token
    // anything; it would only free memory and unload libraries, which the
    // end of the process does at once (about 0.4 ms less, at the end of
    // every run). A token's module is finalized as it expects, and a host
    // other than the program (which may use NSS itself) gets its shutdown.
    if (ServesTheProgram() && OnlyNssModules()) return;
    for (NssDatabase* db : *g_databases) {
        for (PK11SlotInfo* slot : db->slots) PK11_FreeSlot(slot);
        NSS_ShutdownContext(db->context);
        delete db;
    }
    delete g_databases;
    g_databases = nullptr;
}

std::vector<PK11SlotInfo*> AllSlots() {
    std::vector<PK11SlotInfo*> slots;
    if (!NSS_IsInitialized()) return slots;
    PK11SlotList* list = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
    if (list == nullptr) return slots;
    for (PK11SlotListElement* le = list->head; le != nullptr; le = le->next) {
        slots.push_back(PK11_ReferenceSlot(le->slot));
    }
    PK11_FreeSlotList(list);
    return slots;
}

// 0 when the file is a readable regular file, or absent and `optional`.
// Anything else (a FIFO, a device, a folder) is refused before NSS opens it.
uint32_t CheckDatabaseFile(const std::string& path, bool optional, bool* present) {
    struct stat st;
    *present = false;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return optional ? 0 : ERROR_FILE_CORRUPT;
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_CORRUPT;
    }
    if (!S_ISREG(st.st_mode)) return ERROR_FILE_CORRUPT;
    if (access(path.c_str(), R_OK) != 0) return ERROR_ACCESS_DENIED;
    *present = true;
    return 0;
}

uint32_t OpenLocked(const std::string& dir, NssDatabase** out) {
    *out = nullptr;
    if (g_databases != nullptr) {
        for (NssDatabase* db : *g_databases) {
            if (db->dir == dir) {
                *out = db;
                return 0;
            }
        }
    }
    bool present = false;
    // A user without cert9.db has no store: an empty one, as on Windows.
    uint32_t code = CheckDatabaseFile(dir + "/cert9.db", true, &present);
    if (code != 0 || !present) return code;
    for (const char* name : {"/key4.db", "/pkcs11.txt"}) {
        code = CheckDatabaseFile(dir + name, true, &present);
        if (code != 0) return code;
    }
    std::vector<PK11SlotInfo*> before = AllSlots();
    std::string config = "sql:" + dir;
    NSSInitContext* context = NSS_InitContext(config.c_str(), "", "", "", nullptr,
                                              NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    if (context == nullptr) {
        for (PK11SlotInfo* slot : before) PK11_FreeSlot(slot);
        return ERROR_FILE_CORRUPT;
    }
    auto* db = new NssDatabase{dir, context, {}};
    for (PK11SlotInfo* slot : AllSlots()) {
        bool old = false;
        for (PK11SlotInfo* b : before) old = old || b == slot;
        if (old) {
            PK11_FreeSlot(slot);
        } else {
            db->slots.push_back(slot);
        }
    }
    if (db->slots.empty()) {
        // The database was open already, in a context of someone else in
        // this process (NSS then adds no token for it): which tokens are its
        // own cannot be told, so the store is every token's.
        db->slots = std::move(before);
        before.clear();
    }
    for (PK11SlotInfo* slot : before) PK11_FreeSlot(slot);
    if (g_databases == nullptr) {
        g_databases = new std::vector<NssDatabase*>;
        atexit(ShutdownAll);
    }
    g_databases->push_back(db);
    *out = db;
    return 0;
}

uint32_t OwnOpen(const char* dir, void** db) {
    std::lock_guard<std::mutex> hold(g_lock);
    NssDatabase* found = nullptr;
    uint32_t code = OpenLocked(dir, &found);
    *db = found;
    return code;
}

int OwnSlotCount(const void* db) {
    return static_cast<int>(static_cast<const NssDatabase*>(db)->slots.size());
}

PK11SlotInfo* OwnSlot(const void* db, int index) {
    return static_cast<const NssDatabase*>(db)->slots[static_cast<size_t>(index)];
}

const QuillmarkNssTable kOwnTable = {kTableVersion, OwnOpen, OwnSlotCount, OwnSlot};

bool ServesTheProgram() { return ExportedTable() == &kOwnTable; }

// The program's table when this copy lives in a library the program
// loaded, else this copy's own.
const QuillmarkNssTable* Table() {
    static const QuillmarkNssTable* table = [] {
        const QuillmarkNssTable* found = ExportedTable();
        return found != nullptr && found->version == kTableVersion ? found : &kOwnTable;
    }();
    return table;
}

}  // namespace

uint32_t OpenNssDatabase(const std::string& dir, NssDatabase** db) {
    void* found = nullptr;
    uint32_t code = Table()->open(dir.c_str(), &found);
    *db = static_cast<NssDatabase*>(found);
    return code;
}

int NssDatabaseSlotCount(const NssDatabase* db) { return Table()->slot_count(db); }

PK11SlotInfo* NssDatabaseSlot(const NssDatabase* db, int index) { return Table()->slot(db, index); }

}  // namespace qm

const QuillmarkNssTable* quillmark_nss_table(void) { return &qm::kOwnTable; }
