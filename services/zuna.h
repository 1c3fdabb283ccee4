// The database-access library as Tolvane calls it. Work is done in groups:
// add field entries, then resolve, read or write them all at once; each entry
// keeps its own status. With no database backend installed,
// zuna_group_create yields null and every call on a null group fails
// (status tolvane::kServiceDown, entry handle -1, value 0).
#pragma once

#include <cstdint>

#include "tolvane/export.h"
#include "tolvane/records.h"

// Opaque to the library; the backend defines what a group is.
struct zunagroup;

inline constexpr unsigned int kZunaNoEntry = 0xFFFFFFFFu;

zunagroup* zuna_group_create(int kind, int flags);
void zuna_group_free(zunagroup* group);
// Entry handle, or kZunaNoEntry (-1) when the field cannot be added. Given a
// VSP, the entry needs no resolve.
unsigned int zuna_group_add(zunagroup* group, const char* node, const char* tag,
                            const char* field, const VSP* vsp);
// Any output may be null. node: 9 bytes, tag: 31, field: 20.
void zuna_entry_info(zunagroup* group, unsigned int entry, char* node, char* tag, char* field,
                     VSP* vsp);
unsigned short zuna_serial_count(zunagroup* group);
// Fills `serials` and `names` (9 bytes each) with zuna_serial_count entries.
void zuna_serial_list(zunagroup* group, uint32_t* serials, char (*names)[9]);
void zuna_serial_set(zunagroup* group, const char* node, uint32_t serial);
void zuna_group_set_option(zunagroup* group, uint32_t option);
void zuna_group_resolve(zunagroup* group);
void zuna_group_read(zunagroup* group);
void zuna_group_write(zunagroup* group);
short zuna_group_execute(zunagroup* group);
short zuna_entry_status(zunagroup* group, unsigned int entry);
short zuna_entry_get(zunagroup* group, unsigned int entry, short* value);
short zuna_entry_put(zunagroup* group, unsigned int entry, short value);

namespace tolvane {

// What a host installs to serve the database-access library. The shims pass
// calls through unchanged; the backend owns the groups it creates.
class DatabaseBackend {
 public:
  virtual ~DatabaseBackend() = default;
  virtual zunagroup* GroupCreate(int kind, int flags) = 0;
  virtual void GroupFree(zunagroup* group) = 0;
  virtual unsigned int GroupAdd(zunagroup* group, const char* node, const char* tag,
                                const char* field, const VSP* vsp) = 0;
  virtual void EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag,
                         char* field, VSP* vsp) = 0;
  virtual unsigned short SerialCount(zunagroup* group) = 0;
  virtual void SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) = 0;
  virtual void SerialSet(zunagroup* group, const char* node, uint32_t serial) = 0;
  virtual void SetOption(zunagroup* group, uint32_t option) = 0;
  virtual void Resolve(zunagroup* group) = 0;
  virtual void Read(zunagroup* group) = 0;
  virtual void Write(zunagroup* group) = 0;
  virtual short Execute(zunagroup* group) = 0;
  virtual short EntryStatus(zunagroup* group, unsigned int entry) = 0;
  virtual short EntryGet(zunagroup* group, unsigned int entry, short* value) = 0;
  virtual short EntryPut(zunagroup* group, unsigned int entry, short value) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
TOLVANE_API void InstallDatabaseBackend(DatabaseBackend* backend);
TOLVANE_API DatabaseBackend* InstalledDatabaseBackend();

}  // namespace tolvane
