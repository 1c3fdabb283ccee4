#include "node/process_database.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "node/summary_queue.h"
#include "tolvane/text_field.h"

namespace tolvane::node {
namespace {

// Byte 0 of a VSP is this plus the field index, so an all-zero VSP never
// names a field.
constexpr uint8_t kFieldAttrBase = 0x40;
constexpr std::size_t kMaxNodeName = 8;
constexpr std::size_t kMaxTag = 30;
constexpr std::size_t kMaxBlocksPerNode = 0xFFFF;  // the block word is 16-bit

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

uint32_t AddressKey(char letter, int16_t number) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(letter)) << 16) |
         static_cast<uint16_t>(number);
}

uint32_t VspSerial(const VSP& v) {
  return static_cast<uint32_t>(v.fieldWord1) | (static_cast<uint32_t>(v.fieldWord2) << 16);
}

struct Block {
  std::string tag;
  char letter = 0;
  int16_t number = 0;
  std::array<int16_t, kFieldCount> fields{};
};

struct Node {
  std::string name;
  uint32_t serial = 0;
  std::vector<Block> blocks;
  std::unordered_map<std::string, std::size_t> byTag;  // upper-cased tag
  std::unordered_map<uint32_t, std::size_t> byAddress;
};

struct Entry {
  std::string node, tag, field;  // as the caller gave them
  int fieldIndex = -1;
  bool resolved = false;
  VSP vsp{};
  short status = dbstatus::kNotExecuted;
  bool hasValue = false;
  int16_t value = 0;
  std::optional<int16_t> put;
};

struct Request {
  Step step;
  short forced;  // nonzero: an injected failure for every entry
};

struct Group {
  std::vector<Entry> entries;
  std::vector<Request> requests;
  std::map<std::string, uint32_t> serialsSet;  // upper-cased node name
  uint32_t option = 0;
};

struct EntryFault {
  std::string node, tag, field;  // upper-cased; empty tag: any
  short status;
  Step step;
  int times;
};

void FillVsp(VSP* v, const Node& n, std::size_t blockIndex, int fieldIndex) {
  const Block& b = n.blocks[blockIndex];
  v->fieldAttr = static_cast<uint8_t>(kFieldAttrBase + fieldIndex);
  v->blockType = b.letter;
  v->blockNumber = b.number;
  v->fieldWord1 = static_cast<uint16_t>(n.serial & 0xFFFF);
  v->blockWord = static_cast<uint16_t>(blockIndex);
  v->fieldWord2 = static_cast<uint16_t>(n.serial >> 16);
}

BlockRecord ToRecord(const Node& n, std::size_t i) {
  const Block& b = n.blocks[i];
  return BlockRecord{n.name, b.tag, b.letter, b.number, static_cast<uint16_t>(i), b.fields};
}

}  // namespace

const char* DatabaseStatusName(short status) {
  using namespace dbstatus;
  switch (status) {
    case 0:
      return "OK";
    case kUnknownTag:
      return "UNKNOWN_TAG";
    case kStaleAddress:
      return "STALE_ADDRESS";
    case kBadAddress:
      return "BAD_ADDRESS";
    case kNotResolved:
      return "NOT_RESOLVED";
    case kNothingPut:
      return "NOTHING_PUT";
    case kNotExecuted:
      return "NOT_EXECUTED";
    case kReadOnlyField:
      return "READ_ONLY_FIELD";
    case kBadEntry:
      return "BAD_ENTRY";
    case kBadGroup:
      return "BAD_GROUP";
    case kNoRequest:
      return "NO_REQUEST";
    case kUnknownNode:
      return "UNKNOWN_NODE";
    case kNoValue:
      return "NO_VALUE";
    case kNothingToDelete:
      return "NOTHING_TO_DELETE";
    default:
      return "UNKNOWN";
  }
}

int FieldIndex(const std::string& name) {
  std::string up = Upper(name);
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (up == kFieldNames[i]) return static_cast<int>(i);
  }
  return -1;
}

struct ProcessDatabase::Impl {
  mutable std::mutex m;
  SummaryQueue* queue = nullptr;
  std::vector<Node> nodes;
  std::unordered_map<std::string, std::size_t> nodeIndex;  // upper-cased name
  // Serials only grow, so no address survives a reload or a Reset.
  uint32_t lastSerial = 0;
  std::unordered_map<uintptr_t, Group> groups;
  uintptr_t nextGroup = 1;
  std::vector<EntryFault> entryFaults;
  DatabaseCounters counters;
  uint32_t lastOption = 0;

  Node* FindNode(std::string_view name) {
    auto it = nodeIndex.find(Upper(name));
    return it == nodeIndex.end() ? nullptr : &nodes[it->second];
  }
  const Node* FindNode(std::string_view name) const {
    return const_cast<Impl*>(this)->FindNode(name);
  }
  bool SerialInUse(uint32_t serial) const {
    return std::any_of(nodes.begin(), nodes.end(),
                       [&](const Node& n) { return n.serial == serial; });
  }
  uint32_t FreshSerial() {
    do {
      ++lastSerial;
    } while (lastSerial == 0 || SerialInUse(lastSerial));
    return lastSerial;
  }

  // Tokens are ids, never addresses: a freed group's token stays invalid
  // and is never handed out again.
  static zunagroup* Token(uintptr_t id) { return reinterpret_cast<zunagroup*>(id << 4); }
  Group* FindGroup(zunagroup* g) {
    auto it = groups.find(reinterpret_cast<uintptr_t>(g) >> 4);
    if (it == groups.end() || Token(it->first) != g) return nullptr;
    return &it->second;
  }
  Entry* FindEntry(zunagroup* g, unsigned int entry, short* why) {
    Group* grp = FindGroup(g);
    if (!grp) {
      *why = dbstatus::kBadGroup;
      return nullptr;
    }
    if (entry >= grp->entries.size()) {
      *why = dbstatus::kBadEntry;
      return nullptr;
    }
    return &grp->entries[entry];
  }

  short EntryFaultFor(const Entry& e, Step step) {
    std::string node = Upper(e.node), tag = Upper(e.tag), field = Upper(e.field);
    for (auto it = entryFaults.begin(); it != entryFaults.end(); ++it) {
      if (it->node != node || it->field != field) continue;
      if (!it->tag.empty() && it->tag != tag) continue;
      if (it->step != Step::kAny && it->step != step) continue;
      short status = it->status;
      if (it->times > 0 && --it->times == 0) entryFaults.erase(it);
      return status;
    }
    return 0;
  }

  short ResolveByName(Entry& e) {
    Node* n = FindNode(e.node);
    if (!n) return dbstatus::kUnknownNode;
    ++counters.nameLookups;
    auto it = n->byTag.find(Upper(e.tag));
    if (it == n->byTag.end()) {
      e.resolved = false;
      e.vsp = VSP{};
      return dbstatus::kUnknownTag;
    }
    FillVsp(&e.vsp, *n, it->second, e.fieldIndex);
    e.resolved = true;
    return 0;
  }

  // Finds the block and field that a resolved entry's address names. An
  // address from an older load of the node is never used: the entry is
  // given its tag's current address, so that entry_info hands the caller
  // something to cache again, and the step fails. Only when the caller said
  // (through a serial number) that its addresses for the node are from
  // another load does the step go on with the new address.
  short Locate(const Group& grp, Entry& e, Node** node, Block** block) {
    if (!e.resolved) return dbstatus::kNotResolved;
    Node* n = FindNode(e.node);
    if (!n) return dbstatus::kUnknownNode;
    if (VspSerial(e.vsp) != n->serial) {
      auto said = grp.serialsSet.find(Upper(e.node));
      bool declared = said != grp.serialsSet.end() && said->second != n->serial;
      short s = ResolveByName(e);
      if (!declared) return dbstatus::kStaleAddress;
      if (s) return s;
    }
    if (e.vsp.fieldAttr != kFieldAttrBase + e.fieldIndex) return dbstatus::kBadAddress;
    auto it = n->byAddress.find(AddressKey(e.vsp.blockType, e.vsp.blockNumber));
    if (it == n->byAddress.end()) return dbstatus::kBadAddress;
    Block& b = n->blocks[it->second];
    if (Upper(b.tag) != Upper(e.tag)) return dbstatus::kBadAddress;
    *node = n;
    *block = &b;
    return 0;
  }

  short ApplyWrite(const Node& n, Block& b, int fieldIndex, int16_t value) {
    switch (fieldIndex) {
      case 0:  // B_NALM
        b.fields[0] = value;
        if (value == 0 && queue) queue->Acknowledge(n.name, b.letter, b.number);
        return 0;
      case 1: {  // B_DALM: a command, never stored
        if (value != 1) return 0;
        bool removed = queue && queue->Clear(n.name, b.letter, b.number);
        if (!removed) return dbstatus::kNothingToDelete;
        b.fields[0] = 0;  // a removed alarm is no longer waiting for acknowledge
        return 0;
      }
      case 2:  // B_CUALM follows the process, not the operator
        return dbstatus::kReadOnlyField;
      default:
        b.fields[fieldIndex] = value;
        return 0;
    }
  }

  short RunStep(const Group& grp, Entry& e, Step step) {
    if (step == Step::kRead) {
      e.hasValue = false;
      e.value = 0;
    }
    if (short s = EntryFaultFor(e, step)) return s;
    Node* n = nullptr;
    Block* b = nullptr;
    switch (step) {
      case Step::kResolve:
        if (!e.resolved) return ResolveByName(e);
        return Locate(grp, e, &n, &b);
      case Step::kRead:
        if (short s = Locate(grp, e, &n, &b)) return s;
        e.value = b->fields[e.fieldIndex];
        e.hasValue = true;
        return 0;
      case Step::kWrite:
        if (!e.put) return dbstatus::kNothingPut;
        if (short s = Locate(grp, e, &n, &b)) return s;
        return ApplyWrite(*n, *b, e.fieldIndex, *e.put);
      case Step::kAny:
        break;
    }
    return 0;
  }

  void AddRequest(zunagroup* g, Step step, short fault) {
    if (Group* grp = FindGroup(g)) grp->requests.push_back({step, fault});
  }
};

ProcessDatabase::ProcessDatabase(SummaryQueue* queue) : impl_(std::make_unique<Impl>()) {
  impl_->queue = queue;
}

ProcessDatabase::~ProcessDatabase() = default;

void ProcessDatabase::AttachQueue(SummaryQueue* queue) {
  std::lock_guard lock(impl_->m);
  impl_->queue = queue;
}

bool ProcessDatabase::AddNode(const std::string& name, uint32_t serial) {
  if (name.empty() || name.size() > kMaxNodeName || name.find('\0') != std::string::npos) {
    return false;
  }
  std::lock_guard lock(impl_->m);
  if (impl_->FindNode(name)) return false;
  if (serial != 0 && impl_->SerialInUse(serial)) return false;
  if (serial == 0) serial = impl_->FreshSerial();
  impl_->lastSerial = std::max(impl_->lastSerial, serial);
  impl_->nodeIndex.emplace(Upper(name), impl_->nodes.size());
  impl_->nodes.push_back(Node{name, serial, {}, {}, {}});
  return true;
}

uint32_t ProcessDatabase::ReloadNode(const std::string& name) {
  std::lock_guard lock(impl_->m);
  Node* n = impl_->FindNode(name);
  if (!n) return 0;
  n->serial = impl_->FreshSerial();
  return n->serial;
}

uint32_t ProcessDatabase::NodeSerial(const std::string& name) const {
  std::lock_guard lock(impl_->m);
  const Node* n = impl_->FindNode(name);
  return n ? n->serial : 0;
}

std::vector<NodeRecord> ProcessDatabase::Nodes() const {
  std::lock_guard lock(impl_->m);
  std::vector<NodeRecord> out;
  for (const Node& n : impl_->nodes) out.push_back({n.name, n.serial});
  return out;
}

bool ProcessDatabase::AddBlock(const std::string& node, const std::string& tag, char letter,
                               int16_t number) {
  return AddBlock(node, tag, letter, number, {});
}

bool ProcessDatabase::AddBlock(const std::string& node, const std::string& tag, char letter,
                               int16_t number, const std::array<int16_t, kFieldCount>& fields) {
  if (tag.empty() || tag.size() > kMaxTag || tag.find('\0') != std::string::npos || letter == 0) {
    return false;
  }
  std::lock_guard lock(impl_->m);
  Node* n = impl_->FindNode(node);
  if (!n || n->blocks.size() >= kMaxBlocksPerNode) return false;
  std::string key = Upper(tag);
  uint32_t address = AddressKey(letter, number);
  if (n->byTag.count(key) || n->byAddress.count(address)) return false;
  n->byTag.emplace(key, n->blocks.size());
  n->byAddress.emplace(address, n->blocks.size());
  n->blocks.push_back(Block{tag, letter, number, fields});
  return true;
}

std::optional<BlockRecord> ProcessDatabase::FindBlock(const std::string& node,
                                                      const std::string& tag) const {
  std::lock_guard lock(impl_->m);
  const Node* n = impl_->FindNode(node);
  if (!n) return std::nullopt;
  auto it = n->byTag.find(Upper(tag));
  if (it == n->byTag.end()) return std::nullopt;
  return ToRecord(*n, it->second);
}

std::optional<BlockRecord> ProcessDatabase::FindBlockAt(const std::string& node, char letter,
                                                        int16_t number) const {
  std::lock_guard lock(impl_->m);
  const Node* n = impl_->FindNode(node);
  if (!n) return std::nullopt;
  auto it = n->byAddress.find(AddressKey(letter, number));
  if (it == n->byAddress.end()) return std::nullopt;
  return ToRecord(*n, it->second);
}

std::vector<BlockRecord> ProcessDatabase::Blocks() const {
  std::lock_guard lock(impl_->m);
  std::vector<BlockRecord> out;
  for (const Node& n : impl_->nodes) {
    for (std::size_t i = 0; i < n.blocks.size(); ++i) out.push_back(ToRecord(n, i));
  }
  return out;
}

// The position of `tag`'s block on node `n` (null: no node). REQUIRES: the lock.
template <class N>
std::optional<std::size_t> BlockIndexOf(N* n, const std::string& tag) {
  if (!n) return std::nullopt;
  auto it = n->byTag.find(Upper(tag));
  if (it == n->byTag.end()) return std::nullopt;
  return static_cast<std::size_t>(it->second);
}

bool ProcessDatabase::SetField(const std::string& node, const std::string& tag,
                               const std::string& field, int16_t value) {
  int fi = FieldIndex(field);
  if (fi < 0) return false;
  std::lock_guard lock(impl_->m);
  Node* n = impl_->FindNode(node);
  std::optional<std::size_t> b = BlockIndexOf(n, tag);
  if (!b) return false;
  n->blocks[*b].fields[fi] = value;
  return true;
}

std::optional<int16_t> ProcessDatabase::GetField(const std::string& node, const std::string& tag,
                                                 const std::string& field) const {
  int fi = FieldIndex(field);
  if (fi < 0) return std::nullopt;
  std::lock_guard lock(impl_->m);
  const Node* n = impl_->FindNode(node);
  std::optional<std::size_t> b = BlockIndexOf(n, tag);
  if (!b) return std::nullopt;
  return n->blocks[*b].fields[fi];
}

std::optional<VSP> ProcessDatabase::AddressOf(const std::string& node, const std::string& tag,
                                              const std::string& field) const {
  int fi = FieldIndex(field);
  if (fi < 0) return std::nullopt;
  std::lock_guard lock(impl_->m);
  const Node* n = impl_->FindNode(node);
  std::optional<std::size_t> b = BlockIndexOf(n, tag);
  if (!b) return std::nullopt;
  VSP v{};
  FillVsp(&v, *n, *b, fi);
  return v;
}

void ProcessDatabase::Reset() {
  std::lock_guard lock(impl_->m);
  impl_->nodes.clear();
  impl_->nodeIndex.clear();
}

void ProcessDatabase::InjectEntryFault(const std::string& node, const std::string& tag,
                                       const std::string& field, short status, Step step,
                                       int times) {
  if (times == 0) return;
  std::lock_guard lock(impl_->m);
  impl_->entryFaults.push_back(
      EntryFault{Upper(node), Upper(tag), Upper(field), status, step, times});
}

void ProcessDatabase::ClearEntryFaults() {
  std::lock_guard lock(impl_->m);
  impl_->entryFaults.clear();
}

DatabaseCounters ProcessDatabase::Counters() const {
  std::lock_guard lock(impl_->m);
  return impl_->counters;
}

void ProcessDatabase::ResetCounters() {
  std::lock_guard lock(impl_->m);
  impl_->counters = DatabaseCounters{};
}

std::size_t ProcessDatabase::OpenGroups() const {
  std::lock_guard lock(impl_->m);
  return impl_->groups.size();
}

uint32_t ProcessDatabase::LastOption() const {
  std::lock_guard lock(impl_->m);
  return impl_->lastOption;
}

// --- DatabaseBackend ---

zunagroup* ProcessDatabase::GroupCreate(int, int) {
  if (faults_.Check("zuna_group_create")) return nullptr;
  std::lock_guard lock(impl_->m);
  uintptr_t id = impl_->nextGroup++;
  impl_->groups.emplace(id, Group{});
  return Impl::Token(id);
}

void ProcessDatabase::GroupFree(zunagroup* group) {
  // Never refused: a failing free would leak the group.
  std::lock_guard lock(impl_->m);
  if (impl_->FindGroup(group)) impl_->groups.erase(reinterpret_cast<uintptr_t>(group) >> 4);
}

unsigned int ProcessDatabase::GroupAdd(zunagroup* group, const char* node, const char* tag,
                                       const char* field, const VSP* vsp) {
  if (!node || !tag || !field) return kZunaNoEntry;
  if (faults_.Check("zuna_group_add")) return kZunaNoEntry;
  int fi = FieldIndex(field);
  if (fi < 0) return kZunaNoEntry;
  std::lock_guard lock(impl_->m);
  Group* grp = impl_->FindGroup(group);
  if (!grp || !impl_->FindNode(node)) return kZunaNoEntry;
  if (grp->entries.size() >= kZunaNoEntry) return kZunaNoEntry;
  Entry e;
  e.node = node;
  e.tag = tag;
  e.field = field;
  e.fieldIndex = fi;
  if (vsp) {
    e.vsp = *vsp;
    e.resolved = true;
  }
  grp->entries.push_back(std::move(e));
  return static_cast<unsigned int>(grp->entries.size() - 1);
}

void ProcessDatabase::EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag,
                                char* field, VSP* vsp) {
  bool failed = faults_.Check("zuna_entry_info") != 0;
  std::lock_guard lock(impl_->m);
  short why = 0;
  const Entry* e = failed ? nullptr : impl_->FindEntry(group, entry, &why);
  if (node) SetFieldTextPadded(node, 9, e ? e->node : std::string());
  if (tag) SetFieldTextPadded(tag, 31, e ? e->tag : std::string());
  if (field) SetFieldTextPadded(field, 20, e ? e->field : std::string());
  if (vsp) *vsp = (e && e->resolved) ? e->vsp : VSP{};
}

namespace {
// The distinct known nodes of a group's entries, in order of first entry.
template <class Impl>
std::vector<const Node*> GroupNodes(Impl& impl, const Group& grp) {
  std::vector<const Node*> out;
  for (const Entry& e : grp.entries) {
    const Node* n = impl.FindNode(e.node);
    if (n && std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  }
  return out;
}
}  // namespace

unsigned short ProcessDatabase::SerialCount(zunagroup* group) {
  if (faults_.Check("zuna_serial_count")) return 0;
  std::lock_guard lock(impl_->m);
  Group* grp = impl_->FindGroup(group);
  if (!grp) return 0;
  return static_cast<unsigned short>(
      std::min<std::size_t>(GroupNodes(*impl_, *grp).size(), 0xFFFF));
}

void ProcessDatabase::SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) {
  if (faults_.Check("zuna_serial_list")) return;
  std::lock_guard lock(impl_->m);
  Group* grp = impl_->FindGroup(group);
  if (!grp) return;
  std::vector<const Node*> nodes = GroupNodes(*impl_, *grp);
  for (std::size_t i = 0; i < nodes.size() && i < 0xFFFF; ++i) {
    if (serials) serials[i] = nodes[i]->serial;
    if (names) SetFieldTextPadded(names[i], 9, nodes[i]->name);
  }
}

void ProcessDatabase::SerialSet(zunagroup* group, const char* node, uint32_t serial) {
  if (!node || faults_.Check("zuna_serial_set")) return;
  std::lock_guard lock(impl_->m);
  if (Group* grp = impl_->FindGroup(group)) grp->serialsSet[Upper(node)] = serial;
}

void ProcessDatabase::SetOption(zunagroup* group, uint32_t option) {
  // The option words change nothing here; they are kept for inspection.
  if (faults_.Check("zuna_group_set_option")) return;
  std::lock_guard lock(impl_->m);
  if (Group* grp = impl_->FindGroup(group)) {
    grp->option = option;
    impl_->lastOption = option;
  }
}

void ProcessDatabase::Resolve(zunagroup* group) {
  short fault = faults_.Check("zuna_group_resolve");
  std::lock_guard lock(impl_->m);
  impl_->AddRequest(group, Step::kResolve, fault);
}

void ProcessDatabase::Read(zunagroup* group) {
  short fault = faults_.Check("zuna_group_read");
  std::lock_guard lock(impl_->m);
  impl_->AddRequest(group, Step::kRead, fault);
}

void ProcessDatabase::Write(zunagroup* group) {
  short fault = faults_.Check("zuna_group_write");
  std::lock_guard lock(impl_->m);
  impl_->AddRequest(group, Step::kWrite, fault);
}

short ProcessDatabase::Execute(zunagroup* group) {
  short fault = faults_.Check("zuna_group_execute");
  std::lock_guard lock(impl_->m);
  Group* grp = impl_->FindGroup(group);
  if (!grp) return dbstatus::kBadGroup;
  ++impl_->counters.executes;
  if (grp->requests.empty()) return fault ? fault : dbstatus::kNoRequest;
  std::vector<Request> requests;
  requests.swap(grp->requests);
  if (fault) {
    for (Entry& e : grp->entries) {
      e.status = fault;
      e.hasValue = false;
    }
    return fault;
  }
  for (const Request& r : requests) {
    switch (r.step) {
      case Step::kResolve:
        ++impl_->counters.resolves;
        break;
      case Step::kRead:
        ++impl_->counters.reads;
        break;
      case Step::kWrite:
        ++impl_->counters.writes;
        break;
      case Step::kAny:
        break;
    }
    for (Entry& e : grp->entries) {
      if (r.forced) {
        e.status = r.forced;
        if (r.step == Step::kRead) e.hasValue = false;
      } else {
        e.status = impl_->RunStep(*grp, e, r.step);
      }
    }
  }
  for (const Entry& e : grp->entries) {
    if (e.status != 0) return e.status;
  }
  return 0;
}

short ProcessDatabase::EntryStatus(zunagroup* group, unsigned int entry) {
  if (short s = faults_.Check("zuna_entry_status")) return s;
  std::lock_guard lock(impl_->m);
  short why = 0;
  const Entry* e = impl_->FindEntry(group, entry, &why);
  return e ? e->status : why;
}

short ProcessDatabase::EntryGet(zunagroup* group, unsigned int entry, short* value) {
  if (value) *value = 0;
  if (short s = faults_.Check("zuna_entry_get")) return s;
  std::lock_guard lock(impl_->m);
  short why = 0;
  const Entry* e = impl_->FindEntry(group, entry, &why);
  if (!e) return why;
  if (!e->hasValue) return dbstatus::kNoValue;
  if (value) *value = e->value;
  return 0;
}

short ProcessDatabase::EntryPut(zunagroup* group, unsigned int entry, short value) {
  if (short s = faults_.Check("zuna_entry_put")) return s;
  std::lock_guard lock(impl_->m);
  short why = 0;
  Entry* e = impl_->FindEntry(group, entry, &why);
  if (!e) return why;
  e->put = value;
  return 0;
}

}  // namespace tolvane::node
