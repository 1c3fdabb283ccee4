// A database backend for manager tests: it records every call as one text
// line and answers from a script, so a test can assert the exact sequence of
// database calls an operation makes.
//
// Line format (groups are named G1, G2, ... in creation order; a group this
// double did not create shows as G?; numbers are decimal unless noted):
//   group_create(<kind>,<flags>)
//   group_free(G1)
//   group_add(G1,<node>,<tag>,<field>,vsp)     given an address
//   group_add(G1,<node>,<tag>,<field>,null)    without one
//   entry_info(G1,<entry>)
//   serial_count(G1)
//   serial_list(G1)
//   serial_set(G1,<node>,<serial>)
//   set_option(G1,0x<hex, upper case>)         e.g. set_option(G1,0xFFFF)
//   resolve(G1)   read(G1)   write(G1)   execute(G1)
//   entry_status(G1,<entry>)
//   entry_get(G1,<entry>)
//   entry_put(G1,<entry>,<value>)
//
// Answers: entry handles count from 0 in each group. Execute runs the steps
// requested since the last execute; each entry then has the status that the
// script gives its tag and field for that step (0 when unscripted). A read
// step also takes the entry's value from the script (0 when unscripted).
// Scripts are sequences consumed one per step of a matching entry; the last
// element repeats. A script for tag "" matches every tag of the field; a
// script for the exact tag wins over it. Names compare exactly.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "services/zuna.h"

namespace tolvane::testing {

enum class DbStep { kResolve, kRead, kWrite };

class RecordingDatabase : public DatabaseBackend {
 public:
  struct Added {
    std::string group, node, tag, field;
    std::optional<VSP> vsp;
  };

  // --- script ---
  // group_add of `field` (for `tag`, or any tag when empty) returns -1.
  void FailAdd(const std::string& field, const std::string& tag = "");
  // Entry statuses after successive `step`s of matching entries.
  void SetStatuses(const std::string& tag, const std::string& field, DbStep step,
                   std::vector<short> statuses);
  // Values that successive read steps give matching entries.
  void SetValues(const std::string& tag, const std::string& field, std::vector<short> values);
  // Status that entry_put returns for matching entries.
  void SetPutStatus(const std::string& tag, const std::string& field, short status);
  // What serial_count/serial_list report, for every group.
  void SetSerials(std::vector<std::pair<std::string, uint32_t>> serials);
  // The VSP that entry_info reports for matching entries; otherwise the
  // one given at group_add, or zeros.
  void SetInfoVsp(const std::string& tag, const std::string& field, const VSP& vsp);

  // --- what happened ---
  std::vector<std::string> Calls() const;
  // The calls whose line starts with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  void ClearCalls();
  // Every group_add, in order, including those answered with -1.
  std::vector<Added> Adds() const;
  // Groups created and not yet freed.
  std::size_t OpenGroups() const;
  // Values put, by "G<n>:<entry>", most recent last.
  std::vector<std::pair<std::string, short>> Puts() const;

  // --- DatabaseBackend ---
  zunagroup* GroupCreate(int kind, int flags) override;
  void GroupFree(zunagroup* group) override;
  unsigned int GroupAdd(zunagroup* group, const char* node, const char* tag, const char* field,
                        const VSP* vsp) override;
  void EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag, char* field,
                 VSP* vsp) override;
  unsigned short SerialCount(zunagroup* group) override;
  void SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) override;
  void SerialSet(zunagroup* group, const char* node, uint32_t serial) override;
  void SetOption(zunagroup* group, uint32_t option) override;
  void Resolve(zunagroup* group) override;
  void Read(zunagroup* group) override;
  void Write(zunagroup* group) override;
  short Execute(zunagroup* group) override;
  short EntryStatus(zunagroup* group, unsigned int entry) override;
  short EntryGet(zunagroup* group, unsigned int entry, short* value) override;
  short EntryPut(zunagroup* group, unsigned int entry, short value) override;

 private:
  struct Entry {
    Added added;
    short status = 0;
    short value = 0;
  };
  struct Group {
    std::vector<Entry> entries;
    std::vector<DbStep> requested;
  };
  struct Sequence {
    std::vector<short> values;
    std::size_t next = 0;
    short Take();
  };
  using Key = std::pair<std::string, std::string>;  // tag, field

  std::string Name(zunagroup* group) const;
  Group* Find(zunagroup* group);
  void Log(std::string line);
  template <class T>
  static T* Match(std::map<Key, T>& script, const Added& a);

  mutable std::mutex m_;
  std::vector<std::string> calls_;
  std::map<std::size_t, Group> groups_;
  std::size_t created_ = 0;
  std::vector<Key> failAdds_;
  std::map<Key, Sequence> statuses_[3];
  std::map<Key, Sequence> values_;
  std::map<Key, short> putStatuses_;
  std::map<Key, VSP> infoVsps_;
  std::vector<std::pair<std::string, uint32_t>> serials_;
  std::vector<std::pair<std::string, short>> puts_;
  std::vector<Added> adds_;
};

}  // namespace tolvane::testing
