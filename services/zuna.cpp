// The zuna_* calls forward to the installed database backend. A call that
// cannot reach a backend (none installed, null group, null name) or whose
// backend throws fails like a service that is down: no entry, status
// kServiceDown, outputs cleared.
#include "services/zuna.h"

#include <cstring>

#include "services/backend_slot.h"
#include "services/queue_backend.h"

namespace tolvane {
namespace {
BackendSlot<DatabaseBackend> g_database;
}  // namespace

void InstallDatabaseBackend(DatabaseBackend* backend) {
  g_database.Install(backend);
}
DatabaseBackend* InstalledDatabaseBackend() {
  return g_database.Get();
}

}  // namespace tolvane

using tolvane::kServiceDown;

namespace {

// Runs `call` on the backend when there is one and the group is real;
// otherwise, or when the backend throws, yields `down`.
template <class R, class F>
R Forward(zunagroup* group, R down, F&& call) noexcept {
  if (!group) return down;
  tolvane::DatabaseBackend* db = tolvane::InstalledDatabaseBackend();
  if (!db) return down;
  try {
    return call(*db);
  } catch (...) {
    return down;
  }
}

template <class F>
void ForwardVoid(zunagroup* group, F&& call) noexcept {
  Forward(group, 0, [&](tolvane::DatabaseBackend& db) {
    call(db);
    return 0;
  });
}

}  // namespace

zunagroup* zuna_group_create(int kind, int flags) {
  tolvane::DatabaseBackend* db = tolvane::InstalledDatabaseBackend();
  if (!db) return nullptr;
  try {
    return db->GroupCreate(kind, flags);
  } catch (...) {
    return nullptr;
  }
}

void zuna_group_free(zunagroup* group) {
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.GroupFree(group); });
}

unsigned int zuna_group_add(zunagroup* group, const char* node, const char* tag, const char* field,
                            const VSP* vsp) {
  if (!node || !tag || !field) return kZunaNoEntry;
  return Forward(group, kZunaNoEntry, [&](tolvane::DatabaseBackend& db) {
    return db.GroupAdd(group, node, tag, field, vsp);
  });
}

void zuna_entry_info(zunagroup* group, unsigned int entry, char* node, char* tag, char* field,
                     VSP* vsp) {
  // Callers cache whatever lands here, so a failed call must leave nothing
  // from an earlier one behind.
  if (node) std::memset(node, 0, 9);
  if (tag) std::memset(tag, 0, 31);
  if (field) std::memset(field, 0, 20);
  if (vsp) std::memset(vsp, 0, sizeof *vsp);
  bool ok = Forward(group, false, [&](tolvane::DatabaseBackend& db) {
    db.EntryInfo(group, entry, node, tag, field, vsp);
    return true;
  });
  if (!ok) {
    if (node) std::memset(node, 0, 9);
    if (tag) std::memset(tag, 0, 31);
    if (field) std::memset(field, 0, 20);
    if (vsp) std::memset(vsp, 0, sizeof *vsp);
  }
  // A backend must terminate its names; make sure of it.
  if (node) node[8] = '\0';
  if (tag) tag[30] = '\0';
  if (field) field[19] = '\0';
}

unsigned short zuna_serial_count(zunagroup* group) {
  return Forward(group, static_cast<unsigned short>(0),
                 [&](tolvane::DatabaseBackend& db) { return db.SerialCount(group); });
}

void zuna_serial_list(zunagroup* group, uint32_t* serials, char (*names)[9]) {
  if (!serials || !names) return;
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.SerialList(group, serials, names); });
}

void zuna_serial_set(zunagroup* group, const char* node, uint32_t serial) {
  if (!node) return;
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.SerialSet(group, node, serial); });
}

void zuna_group_set_option(zunagroup* group, uint32_t option) {
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.SetOption(group, option); });
}

void zuna_group_resolve(zunagroup* group) {
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.Resolve(group); });
}

void zuna_group_read(zunagroup* group) {
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.Read(group); });
}

void zuna_group_write(zunagroup* group) {
  ForwardVoid(group, [&](tolvane::DatabaseBackend& db) { db.Write(group); });
}

short zuna_group_execute(zunagroup* group) {
  return Forward(group, kServiceDown,
                 [&](tolvane::DatabaseBackend& db) { return db.Execute(group); });
}

short zuna_entry_status(zunagroup* group, unsigned int entry) {
  return Forward(group, kServiceDown,
                 [&](tolvane::DatabaseBackend& db) { return db.EntryStatus(group, entry); });
}

short zuna_entry_get(zunagroup* group, unsigned int entry, short* value) {
  short got = 0;
  short status = Forward(group, kServiceDown, [&](tolvane::DatabaseBackend& db) {
    return db.EntryGet(group, entry, &got);
  });
  if (status != 0) got = 0;
  if (value) *value = got;
  return status;
}

short zuna_entry_put(zunagroup* group, unsigned int entry, short value) {
  return Forward(group, kServiceDown,
                 [&](tolvane::DatabaseBackend& db) { return db.EntryPut(group, entry, value); });
}
