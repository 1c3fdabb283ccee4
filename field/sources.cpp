#include "field/sources.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "plant/plant.h"

namespace tolvane::field {
namespace {

using node::FieldCondition;
using node::FieldDuration;

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

SourceError At(const toml::source_region& r, std::string message) {
  return {static_cast<int>(r.begin.line), static_cast<int>(r.begin.column), std::move(message)};
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

std::string Number(double v) {
  std::ostringstream o;
  o << v;
  return o.str();
}

// Reads the keys of one table, remembering which were read so that the
// rest can be reported as unknown.
class Reader {
 public:
  Reader(const toml::table& t, std::string what, std::vector<SourceError>* errors)
      : t_(t), what_(std::move(what)), errors_(errors) {}

  const toml::table& table() const { return t_; }
  void Error(const toml::node& n, std::string message) {
    errors_->push_back(At(n.source(), std::move(message)));
  }
  void ErrorHere(std::string message) { errors_->push_back(At(t_.source(), std::move(message))); }

  const toml::node* Get(std::string_view key) {
    used_.insert(std::string(key));
    return t_.get(key);
  }

  std::optional<std::string> String(std::string_view key, bool required = false) {
    const toml::node* n = Get(key);
    if (!n) {
      if (required) ErrorHere(what_ + " needs " + std::string(key));
      return std::nullopt;
    }
    if (auto s = n->value<std::string>(); s && n->is_string()) return s;
    Error(*n, std::string(key) + " must be a string");
    return std::nullopt;
  }

  std::optional<double> Double(std::string_view key) {
    const toml::node* n = Get(key);
    if (!n) return std::nullopt;
    if (n->is_number()) {
      double v = n->is_integer() ? static_cast<double>(*n->value<int64_t>()) : *n->value<double>();
      if (std::isfinite(v)) return v;
      Error(*n, std::string(key) + " must be a finite number");
      return std::nullopt;
    }
    Error(*n, std::string(key) + " must be a number");
    return std::nullopt;
  }

  std::optional<int64_t> Integer(std::string_view key, int64_t lo, int64_t hi) {
    const toml::node* n = Get(key);
    if (!n) return std::nullopt;
    if (!n->is_integer()) {
      Error(*n, std::string(key) + " must be an integer");
      return std::nullopt;
    }
    int64_t v = *n->value<int64_t>();
    if (v < lo || v > hi) {
      Error(*n, std::string(key) + " must be " + std::to_string(lo) + ".." + std::to_string(hi) +
                    ", not " + std::to_string(v));
      return std::nullopt;
    }
    return v;
  }

  std::optional<bool> Bool(std::string_view key) {
    const toml::node* n = Get(key);
    if (!n) return std::nullopt;
    if (n->is_boolean()) return *n->value<bool>();
    Error(*n, std::string(key) + " must be true or false");
    return std::nullopt;
  }

  std::optional<FieldDuration> Duration(std::string_view key, FieldDuration least) {
    const toml::node* n = Get(key);
    if (!n) return std::nullopt;
    std::optional<FieldDuration> d;
    if (n->is_string()) {
      d = ParseFieldDuration(*n->value<std::string>());
    } else if (n->is_number()) {
      double s = n->is_integer() ? static_cast<double>(*n->value<int64_t>()) : *n->value<double>();
      if (std::isfinite(s) && s >= 0 && s < 1e7) {
        d = FieldDuration(static_cast<int64_t>(std::llround(s * 1000)));
      }
    }
    if (!d) {
      Error(*n, std::string(key) + " must be a duration such as \"500ms\", \"2s\" or \"5m\"");
      return std::nullopt;
    }
    if (*d < least) {
      Error(*n, std::string(key) + " must be at least " + std::to_string(least.count()) + "ms");
      return std::nullopt;
    }
    return d;
  }

  std::vector<std::string> Strings(std::string_view key) {
    std::vector<std::string> out;
    const toml::node* n = Get(key);
    if (!n) return out;
    const toml::array* a = n->as_array();
    if (!a) {
      Error(*n, std::string(key) + " must be an array of strings");
      return out;
    }
    for (const toml::node& e : *a) {
      if (!e.is_string()) {
        Error(e, std::string(key) + " must hold strings only");
        continue;
      }
      out.push_back(*e.value<std::string>());
    }
    return out;
  }

  // Reports every key that was not read.
  void Finish() {
    for (auto&& [k, v] : t_) {
      if (!used_.count(std::string(k.str()))) {
        errors_->push_back(At(k.source(), "unknown key " + Quoted(k.str()) + " in " + what_));
      }
    }
  }

 private:
  const toml::table& t_;
  std::string what_;
  std::vector<SourceError>* errors_;
  std::set<std::string> used_;
};

std::optional<ValueType> TypeOf(std::string_view s) {
  static const std::pair<const char*, ValueType> kTypes[] = {
      {"bool", ValueType::kBool},      {"int16", ValueType::kInt16},
      {"uint16", ValueType::kUInt16},  {"int32", ValueType::kInt32},
      {"uint32", ValueType::kUInt32},  {"float32", ValueType::kFloat32},
      {"float64", ValueType::kFloat64}};
  for (auto& [name, t] : kTypes) {
    if (s == name) return t;
  }
  return std::nullopt;
}

// Condition keys of a priority table, in FieldCondition order.
constexpr const char* kPriorityKeys[node::kFieldConditionCount] = {
    nullptr, "rate", "dev", "lo", "hi", "lolo", "hihi", "cos", "bad", "range", "device", "comm"};

void ReadPriority(Reader& r, node::FieldPointConfig* p) {
  const toml::node* n = r.Get("priority");
  if (!n) return;
  auto idOf = [&](const toml::node& v) -> std::optional<int16_t> {
    if (!v.is_string()) {
      r.Error(v, "a priority is a name: CRITICAL, HIHI, HIGH, MEDIUM, LOW, LOLO or INFO");
      return std::nullopt;
    }
    std::optional<int16_t> id = plant::PriorityIdOf(*v.value<std::string>());
    if (!id) {
      r.Error(v, "unknown priority " + Quoted(*v.value<std::string>()) +
                     " (CRITICAL, HIHI, HIGH, MEDIUM, LOW, LOLO or INFO)");
    }
    return id;
  };
  if (const toml::table* t = n->as_table()) {
    for (auto&& [k, v] : *t) {
      auto* key = std::find_if(std::begin(kPriorityKeys), std::end(kPriorityKeys),
                               [&](const char* name) { return name && k.str() == name; });
      if (key == std::end(kPriorityKeys)) {
        r.Error(v,
                "unknown condition " + Quoted(k.str()) +
                    " in priority (hihi, hi, lo, lolo, rate, dev, cos, bad, range, device, comm)");
        continue;
      }
      if (auto id = idOf(v)) p->priority[static_cast<std::size_t>(key - kPriorityKeys)] = *id;
    }
    return;
  }
  if (auto id = idOf(*n)) p->priority.fill(*id);
}

// "holding:30", "input:0", "coil:7", "discrete:12".
bool ReadRegister(Reader& r, SourcePoint* p, bool* given) {
  const toml::node* n = r.Get("register");
  *given = n != nullptr;
  if (!n) return false;
  std::string text = n->is_string() ? *n->value<std::string>() : "";
  std::size_t colon = text.find(':');
  static const std::pair<const char*, Table> kTables[] = {{"coil", Table::kCoil},
                                                          {"discrete", Table::kDiscrete},
                                                          {"holding", Table::kHolding},
                                                          {"input", Table::kInput}};
  const char* msg =
      "register must read TABLE:ADDRESS, with TABLE coil, discrete, holding or input "
      "(e.g. \"holding:30\")";
  if (colon == std::string::npos) {
    r.Error(*n, msg);
    return false;
  }
  std::string table = text.substr(0, colon), number = text.substr(colon + 1);
  auto t = std::find_if(std::begin(kTables), std::end(kTables),
                        [&](auto& e) { return table == e.first; });
  if (t == std::end(kTables) || number.empty() || number.size() > 9 ||
      !std::all_of(number.begin(), number.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    r.Error(*n, msg);
    return false;
  }
  long address = std::stol(number);
  if (address > 65535) {
    r.Error(*n, "register " + Quoted(text) + " is out of range: addresses are 0..65535");
    return false;
  }
  p->table = t->second;
  p->address = static_cast<uint16_t>(address);
  return true;
}

struct PlaceOfPoint {
  int line, column;
};

void ReadPoint(const toml::table& t, bool modbus, std::vector<SourcePoint>* out,
               std::vector<SourceError>* errors) {
  Reader r(t, modbus ? "a [[modbus.point]]" : "a [[mqtt.point]]", errors);
  SourcePoint p;
  p.line = static_cast<int>(t.source().begin.line);
  p.column = static_cast<int>(t.source().begin.column);
  node::FieldPointConfig& e = p.eval;
  std::size_t before = errors->size();
  e.node = r.String("node", true).value_or("");
  e.tag = r.String("tag", true).value_or("");
  if (const toml::node* n = t.get("node");
      n && n->is_string() && (e.node.empty() || e.node.size() > 8)) {
    r.Error(*n, "node must have 1 to 8 characters");
  }
  if (const toml::node* n = t.get("tag");
      n && n->is_string() && (e.tag.empty() || e.tag.size() > 30)) {
    r.Error(*n, "tag must have 1 to 30 characters");
  }
  e.physical = r.String("physical").value_or("");
  e.description = r.String("description").value_or("");
  if (e.description.size() > 132) {
    r.Error(*t.get("description"), "description has at most 132 bytes");
  }
  e.areas = r.Strings("areas");
  if (e.areas.size() > 15) r.Error(*t.get("areas"), "a point has at most 15 areas");
  e.hihi = r.Double("hihi");
  e.hi = r.Double("hi");
  e.lo = r.Double("lo");
  e.lolo = r.Double("lolo");
  if (auto d = r.Double("deadband")) {
    if (*d < 0) r.Error(*t.get("deadband"), "deadband must not be negative");
    e.deadband = std::max(0.0, *d);
  }
  e.rate = r.Double("rate");
  if (e.rate && *e.rate <= 0) r.Error(*t.get("rate"), "rate must be above 0 (units per second)");
  if (auto d = r.Duration("rate_period", FieldDuration{1})) e.ratePeriod = *d;
  e.deviation = r.Double("deviation");
  if (e.deviation && *e.deviation <= 0) r.Error(*t.get("deviation"), "deviation must be above 0");
  p.setpointTag = r.String("setpoint").value_or("");
  if (e.deviation && p.setpointTag.empty()) {
    r.Error(*t.get("deviation"), "deviation needs setpoint, the tag of the setpoint point");
  }
  if (!p.setpointTag.empty() && !e.deviation) {
    r.Error(*t.get("setpoint"), "setpoint goes with deviation");
  }
  if (auto d = r.Duration("on_delay", FieldDuration{0})) e.onDelay = *d;
  if (auto d = r.Duration("off_delay", FieldDuration{0})) e.offDelay = *d;
  if (auto d = r.Duration("stale_after", FieldDuration{0})) e.staleAfter = *d;
  if (auto b = r.Bool("ack_required")) e.ackRequired = *b;
  ReadPriority(r, &e);
  std::optional<bool> alarmWhen = r.Bool("alarm_when");
  if (const toml::node* n = r.Get("range")) {
    const toml::array* a = n->as_array();
    if (!a || a->size() != 2 || !(*a)[0].is_number() || !(*a)[1].is_number()) {
      r.Error(*n, "range must be [LOW, HIGH]");
    } else {
      p.rangeMin = (*a)[0].value<double>();
      p.rangeMax = (*a)[1].value<double>();
      if (!(*p.rangeMin < *p.rangeMax)) r.Error(*n, "range must be [LOW, HIGH] with LOW < HIGH");
    }
  }
  if (auto s = r.Double("scale")) {
    if (*s == 0) r.Error(*t.get("scale"), "scale must not be 0");
    p.scale = *s;
  }
  if (auto o = r.Double("offset")) p.offset = *o;

  // A plain flag beside the type: GCC 12 misreads an optional enum here.
  bool typed = false;
  ValueType typeValue = ValueType::kFloat64;
  if (auto s = r.String("type")) {
    if (auto found = TypeOf(*s)) {
      typed = true;
      typeValue = *found;
    } else {
      r.Error(*t.get("type"), "unknown type " + Quoted(*s) +
                                  " (bool, int16, uint16, int32, uint32, float32" +
                                  (modbus ? ")" : ", float64)"));
    }
  }
  if (modbus) {
    bool given = false;
    bool read = ReadRegister(r, &p, &given);
    if (!given) r.ErrorHere("a [[modbus.point]] needs register");
    bool bits = p.table == Table::kCoil || p.table == Table::kDiscrete;
    if (typed && typeValue == ValueType::kFloat64) {
      r.Error(*t.get("type"),
              "float64 is not read over Modbus here; use float32 or a 32-bit integer");
      typed = false;
    }
    if (read && bits && typed && typeValue != ValueType::kBool) {
      r.Error(*t.get("type"),
              std::string("a ") + TableName(p.table) + " holds one bit: type is bool");
    }
    if (read && !bits && typed && typeValue == ValueType::kBool) {
      r.Error(*t.get("type"), "a register holds 16 bits: bool goes with coil or discrete");
    }
    p.type = bits ? ValueType::kBool : typed ? typeValue : ValueType::kUInt16;
    if (read && static_cast<long>(p.address) + RegistersOf(p.type) - 1 > 65535) {
      r.Error(*t.get("register"), std::string("register out of range: a ") + TypeName(p.type) +
                                      " at " + std::to_string(p.address) + " runs past 65535");
    }
    if (auto w = r.String("word_order")) {
      if (*w == "little") {
        p.wordsLittle = true;
      } else if (*w != "big") {
        r.Error(*t.get("word_order"), "word_order must be \"big\" or \"little\"");
      }
    }
  } else {
    p.topic = r.String("topic", true).value_or("");
    if (p.topic.find_first_of("+#") != std::string::npos) {
      r.Error(*t.get("topic"), "topic names one value: no + or # wildcards");
    }
    if (const toml::node* n = t.get("topic"); n && n->is_string() && p.topic.empty()) {
      r.Error(*n, "topic must not be empty");
    }
    p.jsonPointer = r.String("value").value_or("");
    if (!p.jsonPointer.empty() && p.jsonPointer[0] != '/') {
      r.Error(*t.get("value"), "value is a JSON pointer such as \"/pv\"");
    }
    p.type = typed ? typeValue : ValueType::kFloat64;
  }
  e.digital = p.type == ValueType::kBool || alarmWhen.has_value();
  e.alarmWhen = alarmWhen.value_or(true);
  bool limits = e.hihi || e.hi || e.lo || e.lolo || e.rate || e.deviation;
  if (e.digital && limits) {
    r.ErrorHere("a digital point (alarm_when or a bool) has no limits, rate or deviation");
  }
  // lolo < lo < hi < hihi, for those given.
  std::vector<std::pair<const char*, double>> order;
  for (auto [name, v] : {std::pair<const char*, std::optional<double>>{"lolo", e.lolo},
                         {"lo", e.lo},
                         {"hi", e.hi},
                         {"hihi", e.hihi}}) {
    if (v) order.emplace_back(name, *v);
  }
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (!(order[i - 1].second < order[i].second)) {
      r.Error(*t.get(order[i].first), std::string("limits out of order: ") + order[i - 1].first +
                                          " " + Number(order[i - 1].second) + " must be below " +
                                          order[i].first + " " + Number(order[i].second) +
                                          " (lolo < lo < hi < hihi)");
    }
  }
  r.Finish();
  e.letter = e.digital ? 'D' : 'A';
  if (errors->size() == before) out->push_back(std::move(p));
}

// "mqtt://host[:port]" or "mqtts://host[:port]".
bool ReadUrl(const std::string& url, MqttSource* s) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    s->tls = false;
    s->port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    s->tls = true;
    s->port = 8883;
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::size_t colon = rest.rfind(':');
  std::string host = rest;
  if (colon != std::string::npos && rest.find(']') == std::string::npos) {
    host = rest.substr(0, colon);
    std::string port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        })) {
      return false;
    }
    int p = std::stoi(port);
    if (p < 1 || p > 65535) return false;
    s->port = p;
  }
  if (host.empty() || host.find_first_of("/@ ") != std::string::npos) return false;
  s->host = host;
  return true;
}

void ReadMqtt(const toml::table& t, SourcesFile* out, std::vector<SourceError>* errors) {
  Reader r(t, "an [[mqtt]] source", errors);
  MqttSource s;
  s.line = static_cast<int>(t.source().begin.line);
  s.name = r.String("name", true).value_or("");
  std::size_t before = errors->size();
  if (auto url = r.String("url", true)) {
    s.url = *url;
    if (!ReadUrl(*url, &s)) {
      r.Error(*t.get("url"), "url must read mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
  }
  s.ca = r.String("ca").value_or("");
  s.cert = r.String("cert").value_or("");
  s.key = r.String("key").value_or("");
  if (!s.tls && (!s.ca.empty() || !s.cert.empty() || !s.key.empty()) && errors->size() == before) {
    r.ErrorHere("ca, cert and key go with an mqtts:// url");
  }
  if (s.cert.empty() != s.key.empty()) r.ErrorHere("cert and key go together");
  s.username = r.String("username").value_or("");
  s.passwordFile = r.String("password_file").value_or("");
  if (!s.passwordFile.empty() && s.username.empty()) {
    r.Error(*t.get("password_file"), "password_file goes with username");
  }
  s.clientId = r.String("client_id").value_or("");
  if (s.clientId.size() > 23 * 10) r.Error(*t.get("client_id"), "client_id is too long");
  if (auto q = r.Integer("qos", 0, 2)) s.qos = static_cast<int>(*q);
  if (auto k = r.Integer("keepalive", 5, 3600)) s.keepalive = static_cast<int>(*k);
  if (auto m = r.Integer("max_payload", 16, 1 << 20)) s.maxPayload = static_cast<std::size_t>(*m);
  if (const toml::node* n = r.Get("point")) {
    const toml::array* a = n->as_array();
    if (!a) {
      r.Error(*n, "point must be [[mqtt.point]] tables");
    } else {
      for (const toml::node& e : *a) {
        if (const toml::table* pt = e.as_table()) {
          ReadPoint(*pt, false, &s.points, errors);
        } else {
          r.Error(e, "point must be [[mqtt.point]] tables");
        }
      }
    }
  }
  r.Finish();
  out->mqtt.push_back(std::move(s));
}

void ReadModbus(const toml::table& t, SourcesFile* out, std::vector<SourceError>* errors) {
  Reader r(t, "a [[modbus]] source", errors);
  ModbusSource s;
  s.line = static_cast<int>(t.source().begin.line);
  s.name = r.String("name", true).value_or("");
  if (auto h = r.String("host")) {
    if (h->empty()) r.Error(*t.get("host"), "host must not be empty");
    s.host = *h;
  }
  if (auto p = r.Integer("port", 1, 65535)) s.port = static_cast<int>(*p);
  if (auto u = r.Integer("unit", 0, 255)) s.unit = static_cast<int>(*u);
  if (auto d = r.Duration("poll", FieldDuration{10})) s.poll = *d;
  if (auto d = r.Duration("timeout", FieldDuration{10})) s.timeout = *d;
  if (auto m = r.Integer("max_registers", 1, 125)) s.maxRegisters = static_cast<int>(*m);
  if (auto g = r.Integer("max_gap", 0, 124)) s.maxGap = static_cast<int>(*g);
  if (const toml::node* n = r.Get("point")) {
    const toml::array* a = n->as_array();
    if (!a) {
      r.Error(*n, "point must be [[modbus.point]] tables");
    } else {
      for (const toml::node& e : *a) {
        if (const toml::table* pt = e.as_table()) {
          ReadPoint(*pt, true, &s.points, errors);
        } else {
          r.Error(e, "point must be [[modbus.point]] tables");
        }
      }
    }
  }
  r.Finish();
  out->modbus.push_back(std::move(s));
}

// Checks across the whole file: names and tags used twice, setpoints.
void CheckFile(SourcesFile* f, std::vector<SourceError>* errors) {
  std::map<std::string, int> names;
  auto name = [&](const std::string& n, int line) {
    if (n.empty()) return;
    auto [it, fresh] = names.emplace(n, line);
    if (!fresh) {
      errors->push_back({line, 1,
                         "two sources are named " + Quoted(n) + " (the other on line " +
                             std::to_string(it->second) + ")"});
    }
  };
  std::map<std::string, SourcePoint*> tags;
  auto tag = [&](SourcePoint& p) {
    std::string key = Fold(p.eval.node) + "\n" + Fold(p.eval.tag);
    auto [it, fresh] = tags.emplace(key, &p);
    if (!fresh) {
      errors->push_back({p.line, p.column,
                         "two points on one tag: " + p.eval.node + " " + p.eval.tag +
                             " is already on line " + std::to_string(it->second->line)});
    }
  };
  for (MqttSource& s : f->mqtt) {
    name(s.name, s.line);
    for (SourcePoint& p : s.points) tag(p);
  }
  for (ModbusSource& s : f->modbus) {
    name(s.name, s.line);
    for (SourcePoint& p : s.points) tag(p);
  }
  auto setpoint = [&](SourcePoint& p) {
    if (p.setpointTag.empty()) return;
    if (!tags.count(Fold(p.eval.node) + "\n" + Fold(p.setpointTag))) {
      errors->push_back(
          {p.line, p.column,
           "setpoint " + Quoted(p.setpointTag) + " is no point on node " + p.eval.node});
    } else if (Fold(p.setpointTag) == Fold(p.eval.tag)) {
      errors->push_back({p.line, p.column, "a point is not its own setpoint"});
    }
  };
  for (MqttSource& s : f->mqtt) {
    for (SourcePoint& p : s.points) setpoint(p);
  }
  for (ModbusSource& s : f->modbus) {
    for (SourcePoint& p : s.points) setpoint(p);
  }
}

}  // namespace

int RegistersOf(ValueType type) {
  switch (type) {
    case ValueType::kInt32:
    case ValueType::kUInt32:
    case ValueType::kFloat32:
      return 2;
    case ValueType::kFloat64:
      return 4;
    default:
      return 1;
  }
}

const char* TypeName(ValueType type) {
  switch (type) {
    case ValueType::kBool:
      return "bool";
    case ValueType::kInt16:
      return "int16";
    case ValueType::kUInt16:
      return "uint16";
    case ValueType::kInt32:
      return "int32";
    case ValueType::kUInt32:
      return "uint32";
    case ValueType::kFloat32:
      return "float32";
    case ValueType::kFloat64:
      return "float64";
  }
  return "?";
}

const char* TableName(Table table) {
  switch (table) {
    case Table::kCoil:
      return "coil";
    case Table::kDiscrete:
      return "discrete";
    case Table::kHolding:
      return "holding";
    case Table::kInput:
      return "input";
  }
  return "?";
}

std::string FormatError(const std::string& file, const SourceError& e) {
  std::string out = file;
  if (e.line > 0) out += ":" + std::to_string(e.line) + ":" + std::to_string(e.column);
  return out + ": " + e.message;
}

std::optional<FieldDuration> ParseFieldDuration(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) {
    ++i;
  }
  if (i == 0 || i > 12) return std::nullopt;
  std::string number(text.substr(0, i));
  if (std::count(number.begin(), number.end(), '.') > 1 || number == ".") return std::nullopt;
  double v = std::stod(number);
  std::string_view unit = text.substr(i);
  double ms = unit == "ms"                  ? v
              : unit == "s" || unit.empty() ? v * 1000
              : unit == "m"                 ? v * 60000
              : unit == "h"                 ? v * 3600000
                                            : -1;
  if (ms < 0 || ms > 1e10) return std::nullopt;
  return FieldDuration(static_cast<int64_t>(std::llround(ms)));
}

bool ParseSources(std::string_view text, SourcesFile* out, std::vector<SourceError>* errors) {
  *out = {};
  std::size_t before = errors->size();
  toml::table doc;
  try {
    doc = toml::parse(text);
  } catch (const toml::parse_error& e) {
    errors->push_back(At(e.source(), std::string(e.description())));
    return false;
  }
  for (auto&& [k, v] : doc) {
    std::string_view key = k.str();
    if (key != "mqtt" && key != "modbus") {
      errors->push_back(At(k.source(), "unknown key " + Quoted(key) +
                                           " (a sources file holds [[mqtt]] and [[modbus]])"));
      continue;
    }
    const toml::array* a = v.as_array();
    if (!a) {
      errors->push_back(
          At(v.source(), std::string(key) + " must be [[" + std::string(key) + "]] tables"));
      continue;
    }
    for (const toml::node& e : *a) {
      const toml::table* t = e.as_table();
      if (!t) {
        errors->push_back(
            At(e.source(), std::string(key) + " must be [[" + std::string(key) + "]] tables"));
      } else if (key == "mqtt") {
        ReadMqtt(*t, out, errors);
      } else {
        ReadModbus(*t, out, errors);
      }
    }
  }
  CheckFile(out, errors);
  std::stable_sort(errors->begin() + static_cast<std::ptrdiff_t>(before), errors->end(),
                   [](const SourceError& a, const SourceError& b) {
                     return a.line != b.line ? a.line < b.line : a.column < b.column;
                   });
  return errors->size() == before;
}

bool LoadSources(const std::string& path, SourcesFile* out, std::vector<SourceError>* errors) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors->push_back({0, 0, "cannot read the sources file"});
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (text.str().size() > (16u << 20)) {
    errors->push_back({0, 0, "a sources file has at most 16 MiB"});
    return false;
  }
  return ParseSources(text.str(), out, errors);
}

void CheckNodes(const SourcesFile& file, const std::vector<std::string>& nodes,
                std::vector<SourceError>* errors) {
  std::set<std::string> known;
  for (const std::string& n : nodes) known.insert(Fold(n));
  auto check = [&](const SourcePoint& p) {
    if (!known.count(Fold(p.eval.node))) {
      errors->push_back(
          {p.line, p.column,
           "tag " + p.eval.tag + " is on no node of the plant: no node " + Quoted(p.eval.node)});
    }
  };
  for (const MqttSource& s : file.mqtt) {
    for (const SourcePoint& p : s.points) check(p);
  }
  for (const ModbusSource& s : file.modbus) {
    for (const SourcePoint& p : s.points) check(p);
  }
}

}  // namespace tolvane::field
