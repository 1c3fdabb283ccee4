#include "plant/plant_json.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tolvane::plant {

using nlohmann::json;

// --- reading ---

namespace {

// A content error: the JSON path of the member and what is wrong with it.
struct ContentError {
  std::string path;
  std::string what;
};

class Reader {
 public:
  explicit Reader(TimePoint now) : now_(now) {}

  const json& Member(const json& obj, const std::string& path, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end()) throw ContentError{path, std::string("missing member \"") + key + "\""};
    return *it;
  }

  std::string String(const json& v, const std::string& path, std::size_t maxLen = 4096) {
    if (!v.is_string()) throw ContentError{path, "expected a string"};
    std::string s = v.get<std::string>();
    if (s.size() > maxLen) {
      throw ContentError{path, "longer than " + std::to_string(maxLen) + " characters"};
    }
    return s;
  }

  std::string OptString(const json& obj, const std::string& path, const char* key,
                        std::size_t maxLen = 4096) {
    auto it = obj.find(key);
    if (it == obj.end()) return {};
    return String(*it, path + "." + key, maxLen);
  }

  long long Integer(const json& v, const std::string& path, long long lo, long long hi) {
    if (!v.is_number_integer()) throw ContentError{path, "expected a whole number"};
    long long n = v.is_number_unsigned() ? static_cast<long long>(v.get<unsigned long long>())
                                         : v.get<long long>();
    if (n < lo || n > hi) {
      throw ContentError{path, "out of range " + std::to_string(lo) + ".." + std::to_string(hi)};
    }
    return n;
  }

  bool Bool(const json& v, const std::string& path) {
    if (!v.is_boolean()) throw ContentError{path, "expected true or false"};
    return v.get<bool>();
  }

  std::vector<std::string> Strings(const json& obj, const std::string& path, const char* key,
                                   std::size_t maxLen) {
    std::vector<std::string> out;
    auto it = obj.find(key);
    if (it == obj.end()) return out;
    std::string p = path + "." + key;
    if (!it->is_array()) throw ContentError{p, "expected an array of strings"};
    for (std::size_t i = 0; i < it->size(); ++i) {
      out.push_back(String((*it)[i], p + "[" + std::to_string(i) + "]", maxLen));
    }
    return out;
  }

  TimePoint Time(const json& v, const std::string& path) {
    TimePoint t;
    if (!v.is_string() || !ParseTime(v.get<std::string>(), now_, &t)) {
      throw ContentError{path, "expected a time like \"2026-01-31T12:00:00Z\" or \"-15m\""};
    }
    return t;
  }

  char Letter(const json& v, const std::string& path) {
    std::string s = String(v, path);
    if (s.size() != 1 || s[0] == '\0') throw ContentError{path, "expected one character"};
    return s[0];
  }

  int16_t Priority(const json& v, const std::string& path) {
    if (v.is_string()) {
      auto id = PriorityIdOf(v.get<std::string>());
      if (!id) {
        throw ContentError{path,
                           "unknown priority (CRITICAL, HIHI, HIGH, MEDIUM, LOW, LOLO, INFO)"};
      }
      return *id;
    }
    return static_cast<int16_t>(Integer(v, path, INT16_MIN, INT16_MAX));
  }

  _AlmCanonicalValue Value(const json& v, const std::string& path) {
    _AlmCanonicalValue out{};
    if (!v.is_object()) throw ContentError{path, "expected an object"};
    out.kind = static_cast<int32_t>(
        Integer(Member(v, path, "kind"), path + ".kind", INT32_MIN, INT32_MAX));
    if (auto it = v.find("text"); it != v.end()) {
      std::string text = String(*it, path + ".text", sizeof out.text - 1);
      out.textFlag = 1;
      std::memcpy(out.text, text.data(), text.size());
      return out;
    }
    if (auto it = v.find("raw"); it != v.end()) {
      std::string hex = String(*it, path + ".raw");
      if (hex.size() != 16 ||
          hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ContentError{path + ".raw", "expected 16 hex digits"};
      }
      for (int i = 0; i < 8; ++i) {
        out.value.raw[i] = static_cast<uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
      }
      return out;
    }
    const json& num = Member(v, path, "value");
    std::string p = path + ".value";
    switch (out.kind) {
      case 1:
      case 4:
        out.value.i16 = static_cast<int16_t>(Integer(num, p, INT16_MIN, INT16_MAX));
        break;
      case 2:
        out.value.i8 = static_cast<int8_t>(Integer(num, p, INT8_MIN, INT8_MAX));
        break;
      case 3:
        out.value.u8 = static_cast<uint8_t>(Integer(num, p, 0, UINT8_MAX));
        break;
      case 5:
        out.value.u16 = static_cast<uint16_t>(Integer(num, p, 0, UINT16_MAX));
        break;
      case 6:
        out.value.i32 = static_cast<int32_t>(Integer(num, p, INT32_MIN, INT32_MAX));
        break;
      case 7:
        out.value.u32 = static_cast<uint32_t>(Integer(num, p, 0, UINT32_MAX));
        break;
      case 8:
      case 9:
        if (!num.is_number()) throw ContentError{p, "expected a number"};
        if (!std::isfinite(num.get<double>())) throw ContentError{p, "expected a finite number"};
        out.value.f32 = static_cast<float>(num.get<double>());
        break;
      default:
        throw ContentError{
            path, "a value of kind " + std::to_string(out.kind) + " needs \"text\" or \"raw\""};
    }
    return out;
  }

  PlantNode Node(const json& v, const std::string& path) {
    if (!v.is_object()) throw ContentError{path, "expected an object"};
    PlantNode n;
    n.name = String(Member(v, path, "name"), path + ".name", 8);
    if (n.name.empty()) throw ContentError{path + ".name", "must not be empty"};
    n.physical = OptString(v, path, "physical", 8);
    if (n.physical.empty()) n.physical = n.name;
    n.aliases = Strings(v, path, "aliases", 8);
    if (auto it = v.find("serial"); it != v.end()) {
      n.serial = static_cast<uint32_t>(Integer(*it, path + ".serial", 0, UINT32_MAX));
    }
    if (auto it = v.find("local"); it != v.end()) n.local = Bool(*it, path + ".local");
    return n;
  }

  PlantBlock Block(const json& v, const std::string& path) {
    if (!v.is_object()) throw ContentError{path, "expected an object"};
    PlantBlock b;
    b.node = String(Member(v, path, "node"), path + ".node", 8);
    b.tag = String(Member(v, path, "tag"), path + ".tag", 30);
    if (b.tag.empty()) throw ContentError{path + ".tag", "must not be empty"};
    b.letter = Letter(Member(v, path, "letter"), path + ".letter");
    b.number = static_cast<int16_t>(
        Integer(Member(v, path, "number"), path + ".number", INT16_MIN, INT16_MAX));
    b.description = OptString(v, path, "description", 132);
    b.areas = Strings(v, path, "areas", 29);
    if (auto it = v.find("priority"); it != v.end()) b.priority = Priority(*it, path + ".priority");
    if (auto it = v.find("fields"); it != v.end()) {
      std::string p = path + ".fields";
      if (!it->is_object()) throw ContentError{p, "expected an object of field values"};
      for (auto f = it->begin(); f != it->end(); ++f) {
        b.fields[f.key()] =
            static_cast<int16_t>(Integer(f.value(), p + "." + f.key(), INT16_MIN, INT16_MAX));
      }
    }
    return b;
  }

  PlantAlarm Alarm(const json& v, const std::string& path) {
    if (!v.is_object()) throw ContentError{path, "expected an object"};
    PlantAlarm a;
    if (auto it = v.find("type"); it != v.end()) {
      a.msgType = static_cast<int32_t>(Integer(*it, path + ".type", INT32_MIN, INT32_MAX));
    }
    a.node = OptString(v, path, "node", 8);
    a.physical = OptString(v, path, "physical", 8);
    if (a.physical.empty()) a.physical = a.node;
    a.description = OptString(v, path, "description", 132);
    a.timeIn = Time(Member(v, path, "timeIn"), path + ".timeIn");
    a.timeLast = a.timeIn;
    if (auto it = v.find("timeLast"); it != v.end()) a.timeLast = Time(*it, path + ".timeLast");
    if (a.msgType == 8) {  // operator message: no block
      a.letter = '\0';
      a.number = 0;
      a.priority = 9;
      a.acknowledged = true;
      return a;
    }
    a.tag = String(Member(v, path, "tag"), path + ".tag", 30);
    a.letter = Letter(Member(v, path, "letter"), path + ".letter");
    a.number = static_cast<int16_t>(
        Integer(Member(v, path, "number"), path + ".number", INT16_MIN, INT16_MAX));
    if (auto it = v.find("priority"); it != v.end()) a.priority = Priority(*it, path + ".priority");
    if (auto it = v.find("status"); it != v.end()) {
      a.status = static_cast<int32_t>(Integer(*it, path + ".status", INT32_MIN, INT32_MAX));
    }
    if (auto it = v.find("value"); it != v.end()) {
      a.value = Value(*it, path + ".value");
    } else {
      a.value.kind = 1;
    }
    a.areas = Strings(v, path, "areas", 29);
    if (a.areas.size() > 15) throw ContentError{path + ".areas", "more than 15 areas"};
    a.ext1 = OptString(v, path, "ext1", 80);
    a.ext2 = OptString(v, path, "ext2", 80);
    if (auto it = v.find("fieldBlock"); it != v.end()) {
      std::string hex = String(*it, path + ".fieldBlock");
      if (hex.size() != 340 ||
          hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ContentError{path + ".fieldBlock", "expected 340 hex digits (170 bytes)"};
      }
      for (std::size_t i = 0; i < 170; ++i) {
        a.fieldBlock[i] = static_cast<uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
      }
      a.extKind = 1;
    }
    if (auto it = v.find("acknowledged"); it != v.end()) {
      a.acknowledged = Bool(*it, path + ".acknowledged");
    }
    return a;
  }

  PlantLogEntry Log(const json& v, const std::string& path) {
    if (!v.is_object()) throw ContentError{path, "expected an object"};
    PlantLogEntry e;
    e.time = Time(Member(v, path, "time"), path + ".time");
    e.node = OptString(v, path, "node", 8);
    e.text = String(Member(v, path, "text"), path + ".text", 132);
    if (auto it = v.find("flag"); it != v.end()) {
      e.flag = static_cast<int>(Integer(*it, path + ".flag", INT32_MIN, INT32_MAX));
    }
    return e;
  }

  void Plant(const json& doc, tolvane::plant::Plant* out) {
    if (!doc.is_object()) throw ContentError{"(document)", "expected an object"};
    if (auto it = doc.find("format"); it != doc.end() && String(*it, "format") != "tolvane-plant") {
      throw ContentError{"format", "expected \"tolvane-plant\""};
    }
    if (auto it = doc.find("version"); it != doc.end() && Integer(*it, "version", 1, 1) != 1) {
      throw ContentError{"version", "unsupported"};
    }
    auto array = [&](const char* key) -> const json* {
      auto it = doc.find(key);
      if (it == doc.end()) return nullptr;
      if (!it->is_array()) throw ContentError{key, "expected an array"};
      return &*it;
    };
    if (const json* a = array("nodes")) {
      for (std::size_t i = 0; i < a->size(); ++i) {
        out->nodes.push_back(Node((*a)[i], "nodes[" + std::to_string(i) + "]"));
      }
    }
    if (const json* a = array("blocks")) {
      for (std::size_t i = 0; i < a->size(); ++i) {
        out->blocks.push_back(Block((*a)[i], "blocks[" + std::to_string(i) + "]"));
      }
    }
    if (const json* a = array("alarms")) {
      for (std::size_t i = 0; i < a->size(); ++i) {
        out->alarms.push_back(Alarm((*a)[i], "alarms[" + std::to_string(i) + "]"));
      }
    }
    if (const json* a = array("operatorLog")) {
      for (std::size_t i = 0; i < a->size(); ++i) {
        out->log.push_back(Log((*a)[i], "operatorLog[" + std::to_string(i) + "]"));
      }
    }
    if (auto it = doc.find("horn"); it != doc.end()) {
      if (!it->is_object()) throw ContentError{"horn", "expected an object"};
      if (auto e = it->find("enabled"); e != it->end()) out->hornEnabled = Bool(*e, "horn.enabled");
      if (auto s = it->find("silenced"); s != it->end()) {
        out->hornSilenced = Bool(*s, "horn.silenced");
      }
    }
    CheckNames(*out);
  }

 private:
  // Blocks must name a known node and be unique; the database would refuse
  // them one by one otherwise, and the state saved back would lose them.
  static void CheckNames(const tolvane::plant::Plant& plant) {
    auto upper = [](std::string s) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    };
    std::map<std::string, int> nodes;
    for (std::size_t i = 0; i < plant.nodes.size(); ++i) {
      if (!nodes.emplace(upper(plant.nodes[i].name), 0).second) {
        throw ContentError{"nodes[" + std::to_string(i) + "].name", "node named twice"};
      }
    }
    std::map<std::string, int> tags;
    std::map<std::string, int> addresses;
    for (std::size_t i = 0; i < plant.blocks.size(); ++i) {
      const PlantBlock& b = plant.blocks[i];
      std::string p = "blocks[" + std::to_string(i) + "]";
      std::string node = upper(b.node);
      if (!nodes.count(node)) throw ContentError{p + ".node", "no such node in \"nodes\""};
      if (!tags.emplace(node + "/" + upper(b.tag), 0).second) {
        throw ContentError{p + ".tag", "tag named twice on its node"};
      }
      if (!addresses.emplace(node + "/" + b.letter + std::to_string(b.number), 0).second) {
        throw ContentError{p + ".number", "letter and number used twice on its node"};
      }
    }
  }

  TimePoint now_;
};

std::pair<int, int> LineColumn(const std::string& text, std::size_t byte) {
  int line = 1, col = 1;
  for (std::size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 1;
    } else {
      ++col;
    }
  }
  return {line, col};
}

}  // namespace

bool ParsePlant(const std::string& text, TimePoint now, Plant* out, std::string* err,
                bool* syntaxError) {
  if (syntaxError) *syntaxError = false;
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    // The reported byte is one past the offending character.
    auto [line, col] = LineColumn(text, e.byte > 0 ? e.byte - 1 : 0);
    std::string what = e.what();
    auto pos = what.find("syntax error");
    if (pos != std::string::npos) what = what.substr(pos);
    *err = "line " + std::to_string(line) + ", column " + std::to_string(col) + ": " + what;
    if (syntaxError) *syntaxError = true;
    return false;
  } catch (const std::exception& e) {
    *err = e.what();
    if (syntaxError) *syntaxError = true;
    return false;
  }
  Plant plant;
  try {
    Reader(now).Plant(doc, &plant);
  } catch (const ContentError& e) {
    *err = e.path + ": " + e.what;
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

using ojson = nlohmann::ordered_json;

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
        out["value"] = static_cast<double>(v.value.f32);
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

}  // namespace

std::string SerializePlant(const Plant& plant, bool relativeTimes, TimePoint now) {
  auto time = [&](TimePoint t) { return relativeTimes ? FormatRelative(t, now) : FormatUtc(t); };
  ojson doc = ojson::object();
  doc["format"] = "tolvane-plant";
  doc["version"] = 1;
  ojson nodes = ojson::array();
  for (const PlantNode& n : plant.nodes) {
    ojson j = {{"name", n.name}, {"physical", n.physical}, {"serial", n.serial}};
    if (!n.aliases.empty()) j["aliases"] = n.aliases;
    if (n.local) j["local"] = true;
    nodes.push_back(std::move(j));
  }
  doc["nodes"] = std::move(nodes);
  doc["horn"] = {{"enabled", plant.hornEnabled}, {"silenced", plant.hornSilenced}};
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
    alarms.push_back(std::move(j));
  }
  doc["alarms"] = std::move(alarms);
  ojson log = ojson::array();
  for (const PlantLogEntry& e : plant.log) {
    ojson j = {{"time", time(e.time)}, {"text", e.text}};
    if (!e.node.empty()) j["node"] = e.node;
    if (e.flag != 0) j["flag"] = e.flag;
    log.push_back(std::move(j));
  }
  doc["operatorLog"] = std::move(log);
  // Texts are code-page bytes; keep any that are not UTF-8 readable.
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

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* err) {
  std::string tmp = path + ".tmp.XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    *err = SysError("cannot create a temporary file beside", path);
    return false;
  }
  // Keep the original's permissions; a new file gets the usual 0644.
  struct stat st {};
  mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  ::fchmod(fd, mode);
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = SysError("cannot write", tmp);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    *err = SysError("cannot flush", tmp);
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::close(fd) != 0) {
    *err = SysError("cannot close", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *err = SysError("cannot replace", path);
    ::unlink(tmp.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
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
