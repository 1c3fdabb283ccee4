#include "support/recording_database.h"

#include <cstdio>

#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

zunagroup* Token(std::size_t n) {
  return reinterpret_cast<zunagroup*>(uintptr_t{n} << 4);
}
std::size_t Number(zunagroup* g) {
  return reinterpret_cast<uintptr_t>(g) >> 4;
}

}  // namespace

short RecordingDatabase::Sequence::Take() {
  if (values.empty()) return 0;
  short v = values[next < values.size() ? next : values.size() - 1];
  if (next < values.size()) ++next;
  return v;
}

template <class T>
T* RecordingDatabase::Match(std::map<Key, T>& script, const Added& a) {
  auto it = script.find({a.tag, a.field});
  if (it == script.end()) it = script.find({"", a.field});
  return it == script.end() ? nullptr : &it->second;
}

void RecordingDatabase::FailAdd(const std::string& field, const std::string& tag) {
  std::lock_guard lock(m_);
  failAdds_.push_back({tag, field});
}

void RecordingDatabase::SetStatuses(const std::string& tag, const std::string& field, DbStep step,
                                    std::vector<short> statuses) {
  std::lock_guard lock(m_);
  statuses_[static_cast<int>(step)][{tag, field}] = Sequence{std::move(statuses), 0};
}

void RecordingDatabase::SetValues(const std::string& tag, const std::string& field,
                                  std::vector<short> values) {
  std::lock_guard lock(m_);
  values_[{tag, field}] = Sequence{std::move(values), 0};
}

void RecordingDatabase::SetPutStatus(const std::string& tag, const std::string& field,
                                     short status) {
  std::lock_guard lock(m_);
  putStatuses_[{tag, field}] = status;
}

void RecordingDatabase::SetSerials(std::vector<std::pair<std::string, uint32_t>> serials) {
  std::lock_guard lock(m_);
  serials_ = std::move(serials);
}

void RecordingDatabase::SetInfoVsp(const std::string& tag, const std::string& field,
                                   const VSP& vsp) {
  std::lock_guard lock(m_);
  infoVsps_[{tag, field}] = vsp;
}

std::vector<std::string> RecordingDatabase::Calls() const {
  std::lock_guard lock(m_);
  return calls_;
}

std::vector<std::string> RecordingDatabase::CallsStartingWith(const std::string& prefix) const {
  std::lock_guard lock(m_);
  std::vector<std::string> out;
  for (const std::string& c : calls_) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

void RecordingDatabase::ClearCalls() {
  std::lock_guard lock(m_);
  calls_.clear();
}

std::vector<RecordingDatabase::Added> RecordingDatabase::Adds() const {
  std::lock_guard lock(m_);
  return adds_;
}

std::size_t RecordingDatabase::OpenGroups() const {
  std::lock_guard lock(m_);
  return groups_.size();
}

std::vector<std::pair<std::string, short>> RecordingDatabase::Puts() const {
  std::lock_guard lock(m_);
  return puts_;
}

std::string RecordingDatabase::Name(zunagroup* group) const {
  std::size_t n = Number(group);
  if (Token(n) != group || n == 0 || n > created_) return "G?";
  return "G" + std::to_string(n);
}

RecordingDatabase::Group* RecordingDatabase::Find(zunagroup* group) {
  auto it = groups_.find(Number(group));
  if (it == groups_.end() || Token(it->first) != group) return nullptr;
  return &it->second;
}

void RecordingDatabase::Log(std::string line) {
  calls_.push_back(std::move(line));
}

zunagroup* RecordingDatabase::GroupCreate(int kind, int flags) {
  std::lock_guard lock(m_);
  Log("group_create(" + std::to_string(kind) + "," + std::to_string(flags) + ")");
  groups_[++created_];
  return Token(created_);
}

void RecordingDatabase::GroupFree(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("group_free(" + Name(group) + ")");
  groups_.erase(Number(group));
}

unsigned int RecordingDatabase::GroupAdd(zunagroup* group, const char* node, const char* tag,
                                         const char* field, const VSP* vsp) {
  std::lock_guard lock(m_);
  Added a{Name(group), node, tag, field, vsp ? std::optional<VSP>(*vsp) : std::nullopt};
  Log("group_add(" + a.group + "," + a.node + "," + a.tag + "," + a.field + "," +
      (vsp ? "vsp" : "null") + ")");
  adds_.push_back(a);
  Group* g = Find(group);
  if (!g) return kZunaNoEntry;
  for (const Key& k : failAdds_) {
    if (k.second == a.field && (k.first.empty() || k.first == a.tag)) return kZunaNoEntry;
  }
  g->entries.push_back(Entry{std::move(a), 0, 0});
  return static_cast<unsigned int>(g->entries.size() - 1);
}

void RecordingDatabase::EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag,
                                  char* field, VSP* vsp) {
  std::lock_guard lock(m_);
  Log("entry_info(" + Name(group) + "," + std::to_string(entry) + ")");
  Group* g = Find(group);
  const Entry* e = (g && entry < g->entries.size()) ? &g->entries[entry] : nullptr;
  if (node) SetFieldTextPadded(node, 9, e ? e->added.node : "");
  if (tag) SetFieldTextPadded(tag, 31, e ? e->added.tag : "");
  if (field) SetFieldTextPadded(field, 20, e ? e->added.field : "");
  if (vsp) {
    *vsp = VSP{};
    if (e) {
      if (const VSP* scripted = Match(infoVsps_, e->added)) {
        *vsp = *scripted;
      } else if (e->added.vsp) {
        *vsp = *e->added.vsp;
      }
    }
  }
}

unsigned short RecordingDatabase::SerialCount(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("serial_count(" + Name(group) + ")");
  return static_cast<unsigned short>(serials_.size());
}

void RecordingDatabase::SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) {
  std::lock_guard lock(m_);
  Log("serial_list(" + Name(group) + ")");
  for (std::size_t i = 0; i < serials_.size(); ++i) {
    if (serials) serials[i] = serials_[i].second;
    if (names) SetFieldTextPadded(names[i], 9, serials_[i].first);
  }
}

void RecordingDatabase::SerialSet(zunagroup* group, const char* node, uint32_t serial) {
  std::lock_guard lock(m_);
  Log("serial_set(" + Name(group) + "," + node + "," + std::to_string(serial) + ")");
}

void RecordingDatabase::SetOption(zunagroup* group, uint32_t option) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(option));
  std::lock_guard lock(m_);
  Log("set_option(" + Name(group) + "," + hex + ")");
}

void RecordingDatabase::Resolve(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("resolve(" + Name(group) + ")");
  if (Group* g = Find(group)) g->requested.push_back(DbStep::kResolve);
}

void RecordingDatabase::Read(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("read(" + Name(group) + ")");
  if (Group* g = Find(group)) g->requested.push_back(DbStep::kRead);
}

void RecordingDatabase::Write(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("write(" + Name(group) + ")");
  if (Group* g = Find(group)) g->requested.push_back(DbStep::kWrite);
}

short RecordingDatabase::Execute(zunagroup* group) {
  std::lock_guard lock(m_);
  Log("execute(" + Name(group) + ")");
  Group* g = Find(group);
  if (!g) return -1;
  for (DbStep step : g->requested) {
    for (Entry& e : g->entries) {
      Sequence* s = Match(statuses_[static_cast<int>(step)], e.added);
      e.status = s ? s->Take() : 0;
      if (step == DbStep::kRead) {
        Sequence* v = Match(values_, e.added);
        e.value = v ? v->Take() : 0;
      }
    }
  }
  g->requested.clear();
  return 0;
}

short RecordingDatabase::EntryStatus(zunagroup* group, unsigned int entry) {
  std::lock_guard lock(m_);
  Log("entry_status(" + Name(group) + "," + std::to_string(entry) + ")");
  Group* g = Find(group);
  if (!g || entry >= g->entries.size()) return -1;
  return g->entries[entry].status;
}

short RecordingDatabase::EntryGet(zunagroup* group, unsigned int entry, short* value) {
  std::lock_guard lock(m_);
  Log("entry_get(" + Name(group) + "," + std::to_string(entry) + ")");
  Group* g = Find(group);
  if (!g || entry >= g->entries.size()) return -1;
  if (value) *value = g->entries[entry].value;
  return 0;
}

short RecordingDatabase::EntryPut(zunagroup* group, unsigned int entry, short value) {
  std::lock_guard lock(m_);
  Log("entry_put(" + Name(group) + "," + std::to_string(entry) + "," + std::to_string(value) + ")");
  Group* g = Find(group);
  if (!g || entry >= g->entries.size()) return -1;
  puts_.push_back({Name(group) + ":" + std::to_string(entry), value});
  const short* s = Match(putStatuses_, g->entries[entry].added);
  return s ? *s : 0;
}

}  // namespace tolvane::testing
