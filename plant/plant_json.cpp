#include "plant/plant_json.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>

#include "plant/bounded_json.h"

namespace tolvane::plant {

// Ordered, so that unknown members keep their order.
using ojson = nlohmann::ordered_json;

// --- locating members ---

namespace {

// Walks a JSON text that is known to parse; every step is bounded anyway.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : t_(text) {}

  std::size_t pos = 0;

  void SkipSpace() {
    while (pos < t_.size() &&
           (t_[pos] == ' ' || t_[pos] == '\t' || t_[pos] == '\n' || t_[pos] == '\r')) {
      ++pos;
    }
  }
  char Peek() const { return pos < t_.size() ? t_[pos] : '\0'; }

  // The string starting at pos, decoded; pos moves past it.
  std::string String() {
    std::size_t from = pos++;
    bool escaped = false;
    while (pos < t_.size()) {
      char c = t_[pos++];
      if (escaped) {
        escaped = false;
        continue;
      }
      if (c == '\\') {
        escaped = true;
        continue;
      }
      if (c == '"') break;
    }
    // Names are rarely escaped; the parser decodes the few that are.
    std::string_view raw = t_.substr(from, pos - from);
    if (raw.find('\\') == std::string_view::npos) {
      return std::string(raw.substr(1, raw.size() >= 2 ? raw.size() - 2 : 0));
    }
    try {
      return ojson::parse(raw).get<std::string>();
    } catch (const std::exception&) {
      return {};
    }
  }

  // Skips one value of any kind.
  void SkipValue() {
    int depth = 0;
    while (pos < t_.size()) {
      char c = t_[pos];
      if (c == '"') {
        String();
      } else if (c == '{' || c == '[') {
        ++depth;
        ++pos;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return;  // the end of the enclosing value
        --depth;
        ++pos;
      } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        return;
      } else {
        ++pos;
      }
      if (depth == 0 && (c == '"' || c == '}' || c == ']')) return;
    }
  }

 private:
  std::string_view t_;
};

}  // namespace

std::string JsonPathText(const JsonPath& path) {
  if (path.empty()) return "(document)";
  std::string out;
  for (const JsonPathStep& s : path) {
    if (s.isIndex) {
      out += "[" + std::to_string(s.index) + "]";
    } else {
      if (!out.empty()) out += '.';
      out += s.key;
    }
  }
  return out;
}

std::size_t LocateJsonPath(std::string_view text, const JsonPath& path) {
  Scanner in(text);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") in.pos = 3;
  in.SkipSpace();
  std::size_t found = in.pos;
  for (const JsonPathStep& step : path) {
    char open = in.Peek();
    if (open != (step.isIndex ? '[' : '{')) return found;
    ++in.pos;
    std::size_t member = std::string_view::npos, value = 0;
    for (std::size_t i = 0;; ++i) {
      in.SkipSpace();
      if (in.Peek() == '}' || in.Peek() == ']' || in.Peek() == '\0') break;
      std::size_t at = in.pos;
      if (!step.isIndex) {
        if (in.Peek() != '"') break;
        bool match = in.String() == step.key;
        in.SkipSpace();
        if (in.Peek() != ':') break;
        ++in.pos;
        in.SkipSpace();
        // A repeated name: the parser keeps the last, so look on.
        if (match) member = at, value = in.pos;
      } else if (i == step.index) {
        member = value = at;
        break;
      }
      in.SkipValue();
      in.SkipSpace();
      if (in.Peek() != ',') break;
      ++in.pos;
    }
    if (member == std::string_view::npos) return found;
    found = member;
    in.pos = value;
  }
  return found;
}

std::pair<int, int> LineAndColumn(std::string_view text, std::size_t offset) {
  int line = 1, col = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      col = 1;
    } else if ((c & 0xC0) != 0x80) {  // continuation bytes belong to their character
      ++col;
    }
  }
  return {line, col};
}

// --- reading ---

namespace {

// A content error: where in the document, and what is wrong there.
struct ContentError {
  JsonPath path;
  std::string what;
};

// Member names each record knows; any other is kept in its `extra`.
using Names = std::span<const std::string_view>;
constexpr std::string_view kTopMembers[] = {"format", "version", "nodes",      "horn",
                                            "blocks", "alarms",  "operatorLog"};
constexpr std::string_view kHornMembers[] = {"enabled", "silenced"};
constexpr std::string_view kNodeMembers[] = {"name", "physical", "serial", "aliases", "local"};
constexpr std::string_view kBlockMembers[] = {"node",        "tag",   "letter",   "number",
                                              "description", "areas", "priority", "fields"};
constexpr std::string_view kAlarmMembers[] = {
    "node",   "physical", "tag",          "letter",       "number",
    "type",   "priority", "status",       "value",        "description",
    "areas",  "ext1",     "ext2",         "fieldBlock",   "acknowledged",
    "timeIn", "timeLast", "shelvedUntil", "shelveReason", "shelvedBy"};
// An operator message reads only these; the rest of an alarm's members are
// kept for it as unknown ones rather than dropped.
constexpr std::string_view kMessageMembers[] = {"type",        "node",   "physical",
                                                "description", "timeIn", "timeLast"};
constexpr std::string_view kLogMembers[] = {"time", "node", "text", "flag", "user"};

bool Known(Names names, std::string_view key) {
  for (std::string_view n : names) {
    if (n == key) return true;
  }
  return false;
}

std::size_t Utf8Length(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

class Reader {
 public:
  explicit Reader(TimePoint now) : now_(now) {}

  void Plant(const ojson& doc, tolvane::plant::Plant* out) {
    if (!doc.is_object()) Fail("expected an object");
    Opt(doc, "format", [&](const ojson& v) {
      if (Text(v, 64) != "tolvane-plant") Fail("expected \"tolvane-plant\"");
    });
    Opt(doc, "version", [&](const ojson& v) { Integer(v, 1, 1); });
    Array(doc, "nodes", [&](const ojson& v) { out->nodes.push_back(Node(v)); });
    Array(doc, "blocks", [&](const ojson& v) { out->blocks.push_back(Block(v)); });
    Array(doc, "alarms", [&](const ojson& v) { out->alarms.push_back(Alarm(v)); });
    Array(doc, "operatorLog", [&](const ojson& v) { out->log.push_back(Log(v)); });
    ojson extra = Unknown(doc, kTopMembers);
    Opt(doc, "horn", [&](const ojson& v) {
      if (!v.is_object()) Fail("expected an object");
      Opt(v, "enabled", [&](const ojson& e) { out->hornEnabled = Bool(e); });
      Opt(v, "silenced", [&](const ojson& e) { out->hornSilenced = Bool(e); });
      ojson horn = Unknown(v, kHornMembers);
      if (!horn.empty()) extra["horn"] = std::move(horn);
    });
    out->extra = Dump(extra);
    CheckNames(*out);
  }

 private:
  [[noreturn]] void Fail(std::string what) { throw ContentError{path_, std::move(what)}; }

  // Names a step of the path while a member or element is read.
  class Step {
   public:
    Step(Reader& r, JsonPathStep s) : r_(r) { r_.path_.push_back(std::move(s)); }
    ~Step() { r_.path_.pop_back(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    Reader& r_;
  };

  // Reads member `key` of `obj` with `read`, if it is there.
  template <class F>
  bool Opt(const ojson& obj, const char* key, F&& read) {
    auto it = obj.find(key);
    if (it == obj.end()) return false;
    Step s(*this, {key, 0, false});
    read(*it);
    return true;
  }

  template <class F>
  void Req(const ojson& obj, const char* key, F&& read) {
    if (!Opt(obj, key, read)) Fail(std::string("missing member \"") + key + "\"");
  }

  template <class F>
  void Array(const ojson& obj, const char* key, F&& read) {
    Opt(obj, key, [&](const ojson& a) {
      if (!a.is_array()) Fail("expected an array");
      for (std::size_t i = 0; i < a.size(); ++i) {
        Step s(*this, {{}, i, true});
        read(a[i]);
      }
    });
  }

  static ojson Unknown(const ojson& obj, Names known) {
    ojson out = ojson::object();
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      if (!Known(known, it.key())) out[it.key()] = it.value();
    }
    return out;
  }

  static std::string Dump(const ojson& extra) {
    return extra.empty() ? std::string() : extra.dump(-1, ' ', false);
  }

  // A text that must fit a record field of `bytes` bytes (without its
  // terminator) and hold at most `chars` characters; neither is ever cut.
  std::string Text(const ojson& v, std::size_t chars, std::size_t bytes = 0) {
    if (!v.is_string()) Fail("expected a string");
    const std::string& s = v.get_ref<const std::string&>();
    if (s.find('\0') != std::string::npos) Fail("contains a NUL character");
    std::size_t length = Utf8Length(s);
    if (length > chars) Fail("longer than " + std::to_string(chars) + " characters");
    if (bytes != 0 && s.size() > bytes) {
      Fail("takes " + std::to_string(s.size()) + " bytes in UTF-8; the field holds " +
           std::to_string(bytes));
    }
    return s;
  }

  // A text of a fixed record field: as many characters as the field holds bytes.
  std::string Field(const ojson& v, std::size_t bytes) { return Text(v, bytes, bytes); }

  std::string OptField(const ojson& obj, const char* key, std::size_t bytes) {
    std::string out;
    Opt(obj, key, [&](const ojson& v) { out = Field(v, bytes); });
    return out;
  }

  std::vector<std::string> Fields(const ojson& obj, const char* key, std::size_t bytes) {
    std::vector<std::string> out;
    Opt(obj, key, [&](const ojson& a) {
      if (!a.is_array()) Fail("expected an array of strings");
      for (std::size_t i = 0; i < a.size(); ++i) {
        Step s(*this, {{}, i, true});
        out.push_back(Field(a[i], bytes));
      }
    });
    return out;
  }

  long long Integer(const ojson& v, long long lo, long long hi) {
    if (!v.is_number_integer()) Fail("expected a whole number");
    if (v.is_number_unsigned() &&
        v.get<unsigned long long>() > static_cast<unsigned long long>(hi)) {
      Fail("out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    long long n = v.is_number_unsigned() ? static_cast<long long>(v.get<unsigned long long>())
                                         : v.get<long long>();
    if (n < lo || n > hi) Fail("out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return n;
  }

  bool Bool(const ojson& v) {
    if (!v.is_boolean()) Fail("expected true or false");
    return v.get<bool>();
  }

  TimePoint Time(const ojson& v) {
    TimePoint t;
    if (!v.is_string()) Fail("expected a time like \"2026-01-31T12:00:00Z\" or \"-15m\"");
    const std::string& s = v.get_ref<const std::string&>();
    if (ParseTime(s, now_, &t)) return t;
    // Tell a date that does not exist from one written wrongly.
    if (s.size() == 20 && s[10] == 'T' && s[19] == 'Z' &&
        s.find_first_not_of("0123456789-:TZ") == std::string::npos) {
      Fail("no such date or time (or beyond the year 2262)");
    }
    Fail("expected a time like \"2026-01-31T12:00:00Z\" or \"-15m\"");
  }

  char Letter(const ojson& v) {
    if (!v.is_string() || Utf8Length(v.get_ref<const std::string&>()) != 1) {
      Fail("expected one character");
    }
    return Text(v, 1, 1)[0];
  }

  int16_t Priority(const ojson& v) {
    if (v.is_string()) {
      auto id = PriorityIdOf(v.get<std::string>());
      if (!id) Fail("unknown priority (CRITICAL, HIHI, HIGH, MEDIUM, LOW, LOLO, INFO)");
      return *id;
    }
    // A number outside the table would show as "*?*" and match no filter.
    auto id = static_cast<int16_t>(Integer(v, INT16_MIN, INT16_MAX));
    if (!PriorityNameOf(id)) Fail("unknown priority (3..9, or a name such as \"HIGH\")");
    return id;
  }

  void Hex(const ojson& v, uint8_t* out, std::size_t bytes, const char* what) {
    std::string hex = Text(v, bytes * 2);
    if (hex.size() != bytes * 2 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      Fail(what);
    }
    for (std::size_t i = 0; i < bytes; ++i) {
      out[i] = static_cast<uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    }
  }

  _AlmCanonicalValue Value(const ojson& v) {
    _AlmCanonicalValue out = ClearedValue();
    if (!v.is_object()) Fail("expected an object");
    Req(v, "kind",
        [&](const ojson& k) { out.kind = static_cast<int32_t>(Integer(k, INT32_MIN, INT32_MAX)); });
    if (Opt(v, "text", [&](const ojson& t) {
          std::string text = Field(t, sizeof out.text - 1);
          out.textFlag = 1;
          std::memcpy(out.text, text.data(), text.size());
        })) {
      return out;
    }
    if (Opt(v, "raw",
            [&](const ojson& r) { Hex(r, out.value.raw, 8, "expected 16 hex digits"); })) {
      return out;
    }
    if (out.kind < 1 || out.kind > 9) {
      Fail("a value of kind " + std::to_string(out.kind) + " needs \"text\" or \"raw\"");
    }
    Req(v, "value", [&](const ojson& num) {
      switch (out.kind) {
        case 1:
        case 4:
          out.value.i16 = static_cast<int16_t>(Integer(num, INT16_MIN, INT16_MAX));
          break;
        case 2:
          out.value.i8 = static_cast<int8_t>(Integer(num, INT8_MIN, INT8_MAX));
          break;
        case 3:
          out.value.u8 = static_cast<uint8_t>(Integer(num, 0, UINT8_MAX));
          break;
        case 5:
          out.value.u16 = static_cast<uint16_t>(Integer(num, 0, UINT16_MAX));
          break;
        case 6:
          out.value.i32 = static_cast<int32_t>(Integer(num, INT32_MIN, INT32_MAX));
          break;
        case 7:
          out.value.u32 = static_cast<uint32_t>(Integer(num, 0, UINT32_MAX));
          break;
        default: {  // 8 and 9: a 32-bit float
          if (!num.is_number()) Fail("expected a number");
          double d = num.get<double>();
          if (!std::isfinite(d)) Fail("expected a finite number");
          // Converting a double beyond float's range is undefined; refuse
          // what would not round to the largest float (3.4028235e38, as
          // written back, is a little above it and reads as it).
          constexpr float kMax = std::numeric_limits<float>::max();
          constexpr double kOverflow = 0x1.ffffffp127;  // halfway to the next power of two
          if (std::fabs(d) >= kOverflow) {
            Fail("beyond the range of a 32-bit float (at most 3.4028235e38 either way)");
          }
          out.value.f32 = std::fabs(d) > kMax ? std::copysign(kMax, static_cast<float>(d))
                                              : static_cast<float>(d);
        }
      }
    });
    return out;
  }

  PlantNode Node(const ojson& v) {
    if (!v.is_object()) Fail("expected an object");
    PlantNode n;
    Req(v, "name", [&](const ojson& s) {
      n.name = Field(s, 8);
      if (n.name.empty()) Fail("must not be empty");
    });
    n.physical = OptField(v, "physical", 8);
    if (n.physical.empty()) n.physical = n.name;
    n.aliases = Fields(v, "aliases", 8);
    Opt(v, "serial",
        [&](const ojson& s) { n.serial = static_cast<uint32_t>(Integer(s, 0, UINT32_MAX)); });
    Opt(v, "local", [&](const ojson& b) { n.local = Bool(b); });
    n.extra = Dump(Unknown(v, kNodeMembers));
    return n;
  }

  void BlockAddress(const ojson& v, std::string* tag, char* letter, int16_t* number) {
    Req(v, "tag", [&](const ojson& s) {
      *tag = Field(s, 30);
      if (tag->empty()) Fail("must not be empty");
    });
    Req(v, "letter", [&](const ojson& s) { *letter = Letter(s); });
    Req(v, "number",
        [&](const ojson& s) { *number = static_cast<int16_t>(Integer(s, INT16_MIN, INT16_MAX)); });
  }

  PlantBlock Block(const ojson& v) {
    if (!v.is_object()) Fail("expected an object");
    PlantBlock b;
    Req(v, "node", [&](const ojson& s) { b.node = Field(s, 8); });
    BlockAddress(v, &b.tag, &b.letter, &b.number);
    b.description = OptField(v, "description", 132);
    b.areas = Fields(v, "areas", 29);
    Opt(v, "priority", [&](const ojson& p) { b.priority = Priority(p); });
    Opt(v, "fields", [&](const ojson& f) {
      if (!f.is_object()) Fail("expected an object of field values");
      for (auto it = f.begin(); it != f.end(); ++it) {
        Step s(*this, {it.key(), 0, false});
        b.fields[it.key()] = static_cast<int16_t>(Integer(it.value(), INT16_MIN, INT16_MAX));
      }
    });
    b.extra = Dump(Unknown(v, kBlockMembers));
    return b;
  }

  PlantAlarm Alarm(const ojson& v) {
    if (!v.is_object()) Fail("expected an object");
    PlantAlarm a;
    Opt(v, "type", [&](const ojson& t) {
      a.msgType = static_cast<int32_t>(Integer(t, INT32_MIN, INT32_MAX));
    });
    a.node = OptField(v, "node", 8);
    a.physical = OptField(v, "physical", 8);
    if (a.physical.empty()) a.physical = a.node;
    a.description = OptField(v, "description", 132);
    Req(v, "timeIn", [&](const ojson& t) { a.timeIn = Time(t); });
    a.timeLast = a.timeIn;
    Opt(v, "timeLast", [&](const ojson& t) { a.timeLast = Time(t); });
    if (a.msgType == 8) {  // operator message: no block
      a.letter = '\0';
      a.number = 0;
      a.priority = 9;
      a.acknowledged = true;
      a.extra = Dump(Unknown(v, kMessageMembers));
      return a;
    }
    BlockAddress(v, &a.tag, &a.letter, &a.number);
    Opt(v, "priority", [&](const ojson& p) { a.priority = Priority(p); });
    Opt(v, "status",
        [&](const ojson& s) { a.status = static_cast<int32_t>(Integer(s, INT32_MIN, INT32_MAX)); });
    a.value.kind = 1;
    Opt(v, "value", [&](const ojson& val) { a.value = Value(val); });
    a.areas = Fields(v, "areas", 29);
    if (a.areas.size() > 15) Opt(v, "areas", [&](const ojson&) { Fail("more than 15 areas"); });
    a.ext1 = OptField(v, "ext1", 80);
    a.ext2 = OptField(v, "ext2", 80);
    if (Opt(v, "fieldBlock", [&](const ojson& h) {
          Hex(h, a.fieldBlock.data(), a.fieldBlock.size(), "expected 340 hex digits (170 bytes)");
        })) {
      a.extKind = 1;
    }
    Opt(v, "acknowledged", [&](const ojson& b) { a.acknowledged = Bool(b); });
    Opt(v, "shelvedUntil", [&](const ojson& t) { a.shelvedUntil = Time(t); });
    // Kept by the store only, so counted in characters alone.
    Opt(v, "shelveReason", [&](const ojson& s) { a.shelveReason = Text(s, 132); });
    Opt(v, "shelvedBy", [&](const ojson& s) { a.shelvedBy = Text(s, 32); });
    a.extra = Dump(Unknown(v, kAlarmMembers));
    return a;
  }

  PlantLogEntry Log(const ojson& v) {
    if (!v.is_object()) Fail("expected an object");
    PlantLogEntry e;
    Req(v, "time", [&](const ojson& t) { e.time = Time(t); });
    e.node = OptField(v, "node", 8);
    // Kept by the store only: the program's own entries (a shelving with its
    // reason, a filtered command with its filter) run past a message field.
    Req(v, "text", [&](const ojson& t) { e.text = Text(t, kMaxJournalText); });
    Opt(v, "flag",
        [&](const ojson& f) { e.flag = static_cast<int>(Integer(f, INT32_MIN, INT32_MAX)); });
    Opt(v, "user", [&](const ojson& u) { e.user = Text(u, 32); });
    e.extra = Dump(Unknown(v, kLogMembers));
    return e;
  }

  // Blocks must name a known node and be unique, and a block holds one
  // alarm: the node would refuse or merge them one by one otherwise, and
  // the state saved back would lose them.
  void CheckNames(const tolvane::plant::Plant& plant) {
    auto upper = [](std::string s) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    };
    auto at = [&](const char* array, std::size_t i, const char* member) {
      path_ = {{array, 0, false}, {{}, i, true}};
      if (member) path_.push_back({member, 0, false});
    };
    std::map<std::string, std::size_t> nodes;
    for (std::size_t i = 0; i < plant.nodes.size(); ++i) {
      if (!nodes.emplace(upper(plant.nodes[i].name), i).second) {
        at("nodes", i, "name");
        Fail("node named twice");
      }
    }
    std::map<std::string, std::size_t> tags;
    std::map<std::string, std::size_t> addresses;
    for (std::size_t i = 0; i < plant.blocks.size(); ++i) {
      const PlantBlock& b = plant.blocks[i];
      std::string node = upper(b.node);
      if (!nodes.count(node)) {
        at("blocks", i, "node");
        Fail("no such node in \"nodes\"");
      }
      if (!tags.emplace(node + "/" + upper(b.tag), i).second) {
        at("blocks", i, "tag");
        Fail("tag named twice on its node");
      }
      if (!addresses.emplace(node + "/" + b.letter + std::to_string(b.number), i).second) {
        at("blocks", i, "number");
        Fail("letter and number used twice on its node");
      }
    }
    if (auto past = FirstBlockPastLimit(plant)) {
      at("blocks", *past, "node");
      Fail("node " + plant.blocks[*past].node + " has more than 65,535 blocks, the most a " +
           "node's database holds; put them on more nodes");
    }
    // An alarm's node is one of the plant's, or an alias of the local node
    // (the queue reads those as the local node).
    if (const PlantNode* local = plant.LocalNode()) {
      for (std::size_t k = 0; k < local->aliases.size() && k < 2; ++k) {
        nodes.emplace(upper(local->aliases[k]), 0);
      }
    }
    std::map<std::string, std::size_t> alarms;
    for (std::size_t i = 0; i < plant.alarms.size(); ++i) {
      const PlantAlarm& a = plant.alarms[i];
      if (a.msgType == 8) continue;
      if (!nodes.count(upper(a.node))) {
        at("alarms", i, "node");
        Fail(a.node.empty() ? "missing member \"node\" (an alarm belongs to a node)"
                            : "no such node in \"nodes\"");
      }
      auto [it, fresh] =
          alarms.emplace(upper(a.node) + "/" + a.letter + std::to_string(a.number), i);
      if (!fresh) {
        at("alarms", i, nullptr);
        Fail(std::string("a second alarm of block ") + a.letter + std::to_string(a.number) +
             " on node " + a.node + "; it duplicates alarms[" + std::to_string(it->second) + "]");
      }
    }
  }

  TimePoint now_;
  JsonPath path_;
};

}  // namespace

bool ParsePlant(const std::string& text, TimePoint now, Plant* out, std::string* err,
                bool* syntaxError) {
  if (syntaxError) *syntaxError = false;
  auto place = [&](std::size_t offset) {
    auto [line, col] = LineAndColumn(text, offset);
    return "line " + std::to_string(line) + ", column " + std::to_string(col) + ": ";
  };
  ojson doc;
  JsonInputError bad;
  if (!ParseJsonBounded(text, &doc, &bad, kPlantDocumentLimits)) {
    *err = bad.message;
    if (syntaxError) *syntaxError = true;
    return false;
  }
  Plant plant;
  try {
    Reader(now).Plant(doc, &plant);
  } catch (const ContentError& e) {
    *err = place(LocateJsonPath(text, e.path)) + JsonPathText(e.path) + ": " + e.what;
    return false;
  } catch (const std::exception& e) {
    *err = e.what();
    return false;
  }
  *out = std::move(plant);
  return true;
}

// --- writing ---

namespace {

std::string Hex(const uint8_t* bytes, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

ojson PriorityJson(int16_t id) {
  if (const char* name = PriorityNameOf(id)) return name;
  return id;
}

// The shortest decimal that reads back as the same float ("81.3", not the
// double's "81.30000305175781").
double FloatJson(float f) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, f);
  *r.ptr = '\0';
  return std::strtod(buf, nullptr);
}

ojson ValueJson(const _AlmCanonicalValue& v) {
  ojson out = {{"kind", v.kind}};
  if (v.textFlag != 0) {
    out["text"] = std::string(v.text, ::strnlen(v.text, sizeof v.text));
    return out;
  }
  switch (v.kind) {
    case 1:
    case 4:
      out["value"] = v.value.i16;
      break;
    case 2:
      out["value"] = v.value.i8;
      break;
    case 3:
      out["value"] = v.value.u8;
      break;
    case 5:
      out["value"] = v.value.u16;
      break;
    case 6:
      out["value"] = v.value.i32;
      break;
    case 7:
      out["value"] = v.value.u32;
      break;
    case 8:
    case 9:
      if (std::isfinite(v.value.f32)) {
        out["value"] = FloatJson(v.value.f32);
      } else {
        out["raw"] = Hex(v.value.raw, 8);
      }
      break;
    default:
      out["raw"] = Hex(v.value.raw, 8);
      break;
  }
  return out;
}

ojson ExtraObject(const std::string& extra, const char* record) {
  if (extra.empty()) return ojson::object();
  ojson members;
  JsonInputError bad;
  if (!ParseJsonBounded(extra, &members, &bad, kPlantDocumentLimits)) {
    throw std::invalid_argument(std::string("the unknown members of ") + record +
                                " are not JSON within bounds: " + bad.message);
  }
  if (!members.is_object()) {
    throw std::invalid_argument(std::string("the unknown members of ") + record +
                                " are not a JSON object: " + extra.substr(0, 80));
  }
  return members;
}

// Appends the unknown members after the known ones; a name the record knows
// is never taken from them, so they cannot change what was read.
void AppendExtra(ojson& j, const ojson& members, Names known) {
  for (auto it = members.begin(); it != members.end(); ++it) {
    if (!Known(known, it.key())) j[it.key()] = it.value();
  }
}

void AppendExtra(ojson& j, const std::string& extra, Names known, const char* record) {
  if (!extra.empty()) AppendExtra(j, ExtraObject(extra, record), known);
}

}  // namespace

std::string SerializePlant(const Plant& plant, bool relativeTimes, TimePoint now) {
  auto time = [&](TimePoint t) { return relativeTimes ? FormatRelative(t, now) : FormatUtc(t); };
  ojson top = ExtraObject(plant.extra, "the plant");
  ojson doc = ojson::object();
  doc["format"] = "tolvane-plant";
  doc["version"] = 1;
  ojson nodes = ojson::array();
  for (const PlantNode& n : plant.nodes) {
    ojson j = {{"name", n.name}, {"physical", n.physical}, {"serial", n.serial}};
    if (!n.aliases.empty()) j["aliases"] = n.aliases;
    if (n.local) j["local"] = true;
    AppendExtra(j, n.extra, kNodeMembers, "a node");
    nodes.push_back(std::move(j));
  }
  doc["nodes"] = std::move(nodes);
  doc["horn"] = {{"enabled", plant.hornEnabled}, {"silenced", plant.hornSilenced}};
  if (auto horn = top.find("horn"); horn != top.end() && horn->is_object()) {
    AppendExtra(doc["horn"], *horn, kHornMembers);
  }
  ojson blocks = ojson::array();
  for (const PlantBlock& b : plant.blocks) {
    ojson j = {{"node", b.node},
               {"tag", b.tag},
               {"letter", std::string(1, b.letter)},
               {"number", b.number}};
    if (!b.description.empty()) j["description"] = b.description;
    if (!b.areas.empty()) j["areas"] = b.areas;
    j["priority"] = PriorityJson(b.priority);
    ojson fields = ojson::object();
    for (const auto& [name, value] : b.fields) fields[name] = value;
    j["fields"] = std::move(fields);
    AppendExtra(j, b.extra, kBlockMembers, "a block");
    blocks.push_back(std::move(j));
  }
  doc["blocks"] = std::move(blocks);
  ojson alarms = ojson::array();
  for (const PlantAlarm& a : plant.alarms) {
    ojson j;
    if (a.msgType == 8) {
      j = {{"type", 8}, {"node", a.node}, {"description", a.description}};
      if (a.physical != a.node) j["physical"] = a.physical;
      j["timeIn"] = time(a.timeIn);
      if (a.timeLast != a.timeIn) j["timeLast"] = time(a.timeLast);
      AppendExtra(j, a.extra, kMessageMembers, "an operator message");
      alarms.push_back(std::move(j));
      continue;
    }
    j = {{"node", a.node},
         {"physical", a.physical},
         {"tag", a.tag},
         {"letter", std::string(1, a.letter)},
         {"number", a.number}};
    if (a.msgType != 1) j["type"] = a.msgType;
    j["priority"] = PriorityJson(a.priority);
    j["status"] = a.status;
    j["value"] = ValueJson(a.value);
    if (!a.description.empty()) j["description"] = a.description;
    if (!a.areas.empty()) j["areas"] = a.areas;
    if (a.extKind == 1) {
      j["fieldBlock"] = Hex(a.fieldBlock.data(), a.fieldBlock.size());
    } else {
      if (!a.ext1.empty()) j["ext1"] = a.ext1;
      if (!a.ext2.empty()) j["ext2"] = a.ext2;
    }
    j["acknowledged"] = a.acknowledged;
    j["timeIn"] = time(a.timeIn);
    if (a.timeLast != a.timeIn) j["timeLast"] = time(a.timeLast);
    if (a.shelvedUntil) j["shelvedUntil"] = time(*a.shelvedUntil);
    if (!a.shelveReason.empty()) j["shelveReason"] = a.shelveReason;
    if (!a.shelvedBy.empty()) j["shelvedBy"] = a.shelvedBy;
    AppendExtra(j, a.extra, kAlarmMembers, "an alarm");
    alarms.push_back(std::move(j));
  }
  doc["alarms"] = std::move(alarms);
  ojson log = ojson::array();
  for (const PlantLogEntry& e : plant.log) {
    ojson j = {{"time", time(e.time)}, {"text", e.text}};
    if (!e.node.empty()) j["node"] = e.node;
    if (e.flag != 0) j["flag"] = e.flag;
    if (!e.user.empty()) j["user"] = e.user;
    AppendExtra(j, e.extra, kLogMembers, "an operator-log entry");
    log.push_back(std::move(j));
  }
  doc["operatorLog"] = std::move(log);
  top.erase("horn");
  AppendExtra(doc, top, kTopMembers);
  // Texts the node made may be code-page bytes that are not UTF-8; those
  // bytes are written as U+FFFD rather than making an unreadable document.
  return doc.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
}

// --- files ---

namespace {

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool ReadAll(int fd, std::string* out) {
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<std::size_t>(n));
  }
}

// The file a path names once its symlinks are followed (a dangling link
// names the file it would make).
bool FollowLinks(std::string path, std::string* target, std::string* err) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    std::string link(PATH_MAX, '\0');
    ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) {
      *err = SysError("cannot read the link", path);
      return false;
    }
    link.resize(static_cast<std::size_t>(n));
    path = !link.empty() && link[0] == '/' ? link : DirectoryOf(path) + "/" + link;
  }
  errno = ELOOP;
  *err = SysError("cannot follow the links of", path);
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// What the new file must carry over from the one it replaces.
struct Inherited {
  bool exists = false;
  mode_t mode = 0644;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Writes, gives the file the old one's mode, group (and owner as root), and
// flushes it.
bool FillFile(int fd, const std::string& text, const Inherited& old, const std::string& target,
              std::string* err) {
  if (!WriteAll(fd, text)) {
    *err = SysError("cannot write the new contents of", target);
    return false;
  }
  if (::fchmod(fd, old.mode) != 0) {
    *err = SysError("cannot set the mode of the new", target);
    return false;
  }
  if (old.exists) {
    struct stat now {};
    ::fstat(fd, &now);
    uid_t uid = ::geteuid() == 0 ? old.uid : static_cast<uid_t>(-1);
    if ((now.st_gid != old.gid || (uid != static_cast<uid_t>(-1) && now.st_uid != uid)) &&
        ::fchown(fd, uid, old.gid) != 0) {
      *err = SysError("cannot keep the owner and group of", target);
      return false;
    }
  }
  if (::fsync(fd) != 0) {
    *err = SysError("cannot flush the new contents of", target);
    return false;
  }
  return true;
}

std::string RandomSuffix() {
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t r = (static_cast<uint64_t>(std::random_device()()) << 32) ^ std::random_device()();
  std::string out;
  for (int i = 0; i < 8; ++i, r /= 36) out += digits[r % 36];
  return out;
}

constexpr const char* kTmpInfix = ".tmp.";

// A temporary name of ours beside `base`: "<base>.tmp." and six (mkstemp) or
// eight (ours) letters and digits.
bool IsTemporaryOf(const std::string& entry, const std::string& base) {
  const std::string prefix = base + kTmpInfix;
  if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) return false;
  std::size_t n = entry.size() - prefix.size();
  if (n != 6 && n != 8) return false;
  return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// A writer holds an exclusive lock on its temporary file from the moment it
// has one until it exits; the kernel drops it when the writer dies.
bool LockHeld(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// True when `name` still names the file open as `fd` (a cleaner may have
// taken a name between its creation and our lock).
bool StillNamed(int fd, const std::string& name) {
  struct stat a {
  }, b{};
  return ::fstat(fd, &a) == 0 && ::lstat(name.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Gives the unnamed file `fd` a temporary name beside the target. False
// with errno when it cannot (no /proc, no permission to link).
bool LinkUnnamed(int fd, const std::string& target, std::string* name) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = target + ".tmp." + RandomSuffix();
    if (::linkat(AT_FDCWD, proc, AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, linking by descriptor needs a privilege; try it.
    if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, name->c_str(), AT_EMPTY_PATH) == 0) {
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Moves the named temporary file over the target; the name goes either way.
bool Replace(const std::string& tmp, const std::string& target, std::string* err) {
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    *err = SysError("cannot replace", target);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool CanReplaceFile(const std::string& path, std::string* why) {
  std::string target;
  if (!FollowLinks(path, &target, why)) return false;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *why = target + " is not a regular file; it was left as it was";
      return false;
    }
    if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
      *why = target + " is read-only; it was left unchanged";
      return false;
    }
  } else if (errno != ENOENT) {
    *why = SysError("cannot examine", target);
    return false;
  }
  std::string dir = DirectoryOf(target);
  struct stat dst {};
  if (::stat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) {
    *why = "cannot write " + target + ": no directory " + dir;
    return false;
  }
  if ((dst.st_mode & 0222) == 0 || ::access(dir.c_str(), W_OK) != 0) {
    *why = "cannot write " + target + ": its directory is read-only";
    return false;
  }
  return true;
}

ReadResult ReadInput(const std::string& path, int fd, std::size_t limit, std::string* out,
                     std::string* why) {
  out->clear();
  bool own = fd < 0;
  if (own) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = path + " cannot be read: " + std::strerror(errno);
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kUnreadable;
  }
  auto done = [&](ReadResult r) {
    if (own) ::close(fd);
    return r;
  };
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    *why = path + " is a directory";
    return done(ReadResult::kUnreadable);
  }
  // A FIFO opened without blocking reads as ended before a writer comes.
  if (own && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    *why = path + " cannot be read: " + std::strerror(errno);
    return done(ReadResult::kUnreadable);
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = path + " cannot be read: " + std::strerror(errno);
      return done(ReadResult::kUnreadable);
    }
    if (n == 0) return done(ReadResult::kOk);
    if (out->size() + static_cast<std::size_t>(n) > limit) {
      out->clear();
      *why = path + " is larger than " + std::to_string(limit) + " bytes";
      return done(ReadResult::kTooLarge);
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
}

std::size_t RemoveAbandonedTemporaries(const std::string& target) {
  const std::string dir = DirectoryOf(target);
  std::string base = target.substr(target.find_last_of('/') + 1);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  std::size_t removed = 0;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!IsTemporaryOf(name, base)) continue;
    std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    // Unlocked means its writer is gone; the name is checked again under the
    // lock, as a writer may have renamed it meanwhile.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        StillNamed(fd, path) && ::unlink(path.c_str()) == 0) {
      ++removed;
    }
    ::close(fd);
  }
  ::closedir(d);
  return removed;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* err,
                         AtomicWriteOptions options) {
  std::string target;
  if (!FollowLinks(path, &target, err)) return false;
  Inherited old;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *err = target + " is not a regular file; it was left as it was";
      return false;
    }
    // Read-only means "do not replace", even for root, who may write anyway.
    if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
      errno = EACCES;
      *err = target + " is read-only; it was left unchanged";
      return false;
    }
    old = {true, static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
  } else if (errno != ENOENT) {
    *err = SysError("cannot examine", target);
    return false;
  }
  const std::string dir = DirectoryOf(target);
  RemoveAbandonedTemporaries(target);
  std::string tmp;
  int heldFd = -1;  // the temporary file, locked until it is renamed
  bool named = false;
  if (options.unnamedTemporary) {
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      // Locked before it has a name, so no cleaner ever takes it for a leftover.
      if (!LockHeld(fd)) {
        *err = SysError("cannot lock a temporary file beside", target);
        ::close(fd);
        return false;
      }
      if (!FillFile(fd, text, old, target, err)) {
        ::close(fd);  // the unnamed file goes with its descriptor
        return false;
      }
      named = LinkUnnamed(fd, target, &tmp);
      int linkErrno = errno;
      if (named) {
        heldFd = fd;
      } else {
        ::close(fd);
      }
      errno = linkErrno;
      // Without /proc and the privilege to link by descriptor, write again
      // the portable way.
      if (!named && errno != ENOENT && errno != EPERM && errno != EOPNOTSUPP) {
        *err = SysError("cannot link the new file beside", target);
        return false;
      }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      *err = SysError("cannot create a temporary file beside", target);
      return false;
    }
  }
  if (!named) {  // no O_TMPFILE here: a named temporary file
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
      tmp = target + kTmpInfix + "XXXXXX";
      fd = ::mkstemp(tmp.data());
      if (fd < 0) {
        *err = SysError("cannot create a temporary file beside", target);
        return false;
      }
      if (!LockHeld(fd)) {
        *err = SysError("cannot lock a temporary file beside", target);
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
      }
      // Taken for a leftover before we held it: make another.
      if (!StillNamed(fd, tmp)) {
        ::close(fd);
        fd = -1;
      }
    }
    if (fd < 0) {
      *err = target + ": every temporary name was taken away; it was left unchanged";
      return false;
    }
    bool ok = FillFile(fd, text, old, target, err);
    if (!ok) {
      ::unlink(tmp.c_str());
      ::close(fd);
      return false;
    }
    heldFd = fd;
  }
  bool replaced = Replace(tmp, target, err);
  if (heldFd >= 0 && ::close(heldFd) != 0 && replaced) {
    *err = SysError("replaced, but cannot close the new", target);
    return false;
  }
  if (!replaced) return false;
  // The rename itself must reach the disk too.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    int rc = ::fsync(dirFd);
    ::close(dirFd);
    if (rc != 0 && errno != EINVAL) {
      *err = SysError("replaced, but cannot flush the directory of", target);
      return false;
    }
  }
  return true;
}

PlantFile::~PlantFile() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool PlantFile::Open(const std::string& path, bool forUpdate, TimePoint now, Plant* plant,
                     PlantFileError* err) {
  path_ = path;
  std::string text;
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      err->kind =
          errno == ENOENT ? PlantFileError::Kind::kMissing : PlantFileError::Kind::kUnreadable;
      err->message = errno == ENOENT ? "node file " + path + " does not exist"
                                     : SysError("cannot open node file", path);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      err->kind = PlantFileError::Kind::kUnreadable;
      err->message = "node file " + path + " is not a regular file";
      return false;
    }
    if (forUpdate) {
      if (::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        err->kind = PlantFileError::Kind::kUnreadable;
        err->message = SysError("cannot lock node file", path);
        return false;
      }
      // Another updater may have replaced the file while we waited: then
      // our descriptor holds the old one, so start again on the new one.
      struct stat now_st {};
      if (::stat(path.c_str(), &now_st) != 0 || now_st.st_ino != st.st_ino ||
          now_st.st_dev != st.st_dev) {
        ::close(fd);
        if (attempt < 100) continue;
        err->kind = PlantFileError::Kind::kUnreadable;
        err->message = "node file " + path + " keeps changing; try again";
        return false;
      }
    }
    bool ok = ReadAll(fd, &text);
    if (!ok) {
      err->kind = PlantFileError::Kind::kUnreadable;
      err->message = SysError("cannot read node file", path);
      ::close(fd);
      return false;
    }
    if (forUpdate) {
      lockFd_ = fd;
    } else {
      ::close(fd);
    }
    break;
  }
  std::string why;
  bool syntax = false;
  if (!ParsePlant(text, now, plant, &why, &syntax)) {
    err->kind = syntax ? PlantFileError::Kind::kSyntax : PlantFileError::Kind::kContent;
    err->message = "node file " + path + " is not a valid plant file: " + why +
                   " (the file was left unchanged)";
    return false;
  }
  return true;
}

bool PlantFile::Save(const Plant& plant, PlantFileError* err) {
  std::string why;
  if (!WriteFileAtomically(path_, SerializePlant(plant), &why)) {
    err->kind = PlantFileError::Kind::kWrite;
    err->message = why;
    return false;
  }
  return true;
}

}  // namespace tolvane::plant
