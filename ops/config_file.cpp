#include "ops/config_file.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <toml++/toml.h>

namespace tolvane::ops {

namespace {

// A configuration file is a few dozen lines; anything far larger is a
// mistake (a store or a log named by accident).
constexpr std::uintmax_t kMaxConfigBytes = 1 << 20;

ConfigProblem At(const std::string& file, const toml::source_region& r, std::string reason) {
  return ConfigProblem{file, static_cast<int>(r.begin.line), static_cast<int>(r.begin.column),
                       std::move(reason)};
}

std::string TypeOf(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a float";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table";
    default:
      return "a date or time";
  }
}

std::string Expected(const ConfigKey& k) {
  std::string one;
  switch (k.kind) {
    case ConfigKey::Kind::kFlag:
      one = "a boolean";
      break;
    case ConfigKey::Kind::kText:
      one = k.secret ? "a file path (string)" : "a string";
      break;
    case ConfigKey::Kind::kInteger:
      one = "an integer";
      break;
    case ConfigKey::Kind::kNumber:
      one = "a number";
      break;
  }
  return k.list ? "an array of " + one.substr(one.find(' ') + 1) + "s" : one;
}

// One TOML value as the option's text, or false when its type is wrong.
bool ValueText(const ConfigKey& k, const toml::node& n, std::string* out) {
  switch (k.kind) {
    case ConfigKey::Kind::kFlag:
      if (!n.is_boolean()) return false;
      *out = n.as_boolean()->get() ? "true" : "false";
      return true;
    case ConfigKey::Kind::kText:
      if (!n.is_string()) return false;
      *out = n.as_string()->get();
      return true;
    case ConfigKey::Kind::kInteger:
      if (!n.is_integer()) return false;
      *out = std::to_string(n.as_integer()->get());
      return true;
    case ConfigKey::Kind::kNumber: {
      if (n.is_integer()) {
        *out = std::to_string(n.as_integer()->get());
        return true;
      }
      if (!n.is_floating_point()) return false;
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, n.as_floating_point()->get());
      *out = std::string(buf, r.ptr);
      return true;
    }
  }
  return false;
}

// A secret's key names the file that holds it. What looks like the secret
// itself (a user:password, a PEM block, several words) is refused, and
// nothing of it is repeated in the message.
std::string SecretProblem(const std::string& key, const std::string& value) {
  bool inline_ = value.find_first_of(" \t\r\n") != std::string::npos ||
                 value.find("-----BEGIN") != std::string::npos ||
                 (value.find(':') != std::string::npos && value.find('/') == std::string::npos);
  if (inline_) {
    return "secret written inline: " + key +
           " takes the path of a file holding the secret, never the secret itself";
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(value, ec)) {
    return "bad value: " + key + ": no file " + value;
  }
  return {};
}

}  // namespace

std::string ConfigProblem::Where() const {
  if (line <= 0) return file;
  return file + ":" + std::to_string(line) + ":" + std::to_string(column);
}

std::string ConfigProblem::Text() const {
  return Where() + ": " + reason;
}

bool IsSecretName(const std::string& name) {
  for (const char* word : {"password", "secret", "token", "credential", "nkey"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return name == "key" || name.ends_with("-key");
}

std::string KindName(const ConfigKey& key) {
  return Expected(key);
}

std::vector<ConfigKey> KeysOf(const std::vector<CLI::App*>& apps,
                              const std::set<std::string>& except) {
  std::vector<ConfigKey> keys;
  for (CLI::App* app : apps) {
    for (CLI::Option* o : app->get_options()) {
      if (o->get_lnames().empty() || o == app->get_help_ptr() || o == app->get_version_ptr() ||
          o == app->get_config_ptr()) {
        continue;
      }
      const std::string& name = o->get_lnames().front();
      if (name == "help" || name == "help-all" || name == "version" || name == "config" ||
          except.count(name)) {
        continue;
      }
      ConfigKey k;
      k.name = name;
      k.option = o;
      k.help = o->get_description();
      std::string type = o->get_type_name();
      type = type.substr(0, type.find(':'));
      if (o->get_expected_max() == 0) {  // a flag
        k.kind = ConfigKey::Kind::kFlag;
      } else if (type == "INT" || type == "UINT") {
        k.kind = ConfigKey::Kind::kInteger;
      } else if (type == "FLOAT" || type == "NUMBER") {
        k.kind = ConfigKey::Kind::kNumber;
      }
      k.list = k.kind != ConfigKey::Kind::kFlag && o->get_items_expected_max() > 1;
      k.secret = k.kind == ConfigKey::Kind::kText && IsSecretName(name);
      keys.push_back(std::move(k));
    }
  }
  return keys;
}

bool ApplyConfigFile(const std::string& path, const std::vector<ConfigKey>& keys,
                     std::vector<ConfigProblem>* problems) {
  std::size_t before = problems->size();
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec || !std::filesystem::is_regular_file(path, ec)) {
    problems->push_back({path, 0, 0, "cannot read: not a regular file"});
    return false;
  }
  if (size > kMaxConfigBytes) {
    problems->push_back({path, 0, 0, "cannot read: larger than 1 MiB"});
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    problems->push_back({path, 0, 0, "cannot read"});
    return false;
  }
  toml::table doc;
  try {
    doc = toml::parse(text.str(), std::string_view(path));
  } catch (const toml::parse_error& e) {
    problems->push_back(At(path, e.source(), std::string(e.description())));
    return false;
  }

  std::map<std::string, const ConfigKey*> byName;
  for (const ConfigKey& k : keys) byName[k.name] = &k;
  std::vector<const ConfigKey*> applied;
  for (auto&& [name, node] : doc) {
    std::string key(name.str());
    auto found = byName.find(key);
    if (found == byName.end()) {
      std::string reason = "unknown key \"" + key + "\"";
      if (IsSecretName(key)) reason += " (secrets are not written here; give the file holding it)";
      problems->push_back(At(path, name.source(), reason));
      continue;
    }
    const ConfigKey& k = *found->second;
    std::vector<std::string> values;
    bool typed = true;
    if (k.list) {
      const toml::array* a = node.as_array();
      typed = a != nullptr;
      if (a) {
        for (const toml::node& e : *a) {
          std::string v;
          if (!ValueText(k, e, &v)) {
            problems->push_back(At(path, e.source(),
                                   "wrong type: " + key + " takes " + Expected(k) + ", this is " +
                                       TypeOf(e)));
            typed = false;
            break;
          }
          values.push_back(v);
        }
        if (!typed) continue;
      }
    } else {
      std::string v;
      typed = ValueText(k, node, &v);
      values.push_back(v);
    }
    if (!typed) {
      problems->push_back(At(path, node.source(),
                             "wrong type: " + key + " takes " + Expected(k) + ", this is " +
                                 TypeOf(node)));
      continue;
    }
    if (k.secret) {
      std::string why;
      for (const std::string& v : values) {
        if (why.empty()) why = SecretProblem(key, v);
      }
      if (!why.empty()) {
        problems->push_back(At(path, node.source(), why));
        continue;
      }
    }
    // The command line wins.
    if (k.option->count() > 0) continue;
    try {
      for (const std::string& v : values) k.option->add_result(v);
      k.option->run_callback();
      applied.push_back(&k);
    } catch (const CLI::Error& e) {
      k.option->clear();
      problems->push_back(At(path, node.source(), "bad value: " + key + ": " + e.what()));
    }
  }
  for (const ConfigKey* k : applied) {
    for (const CLI::Option* other : k->option->get_excludes()) {
      if (other->count() == 0) continue;
      std::string otherName =
          other->get_lnames().empty() ? other->get_name() : other->get_lnames().front();
      const toml::node* n = doc.get(k->name);
      problems->push_back(At(path, n ? n->source() : toml::source_region{},
                             "bad value: " + k->name + " cannot be given with " + otherName));
    }
  }
  std::stable_sort(problems->begin() + static_cast<std::ptrdiff_t>(before), problems->end(),
                   [](const ConfigProblem& a, const ConfigProblem& b) {
                     return std::pair(a.line, a.column) < std::pair(b.line, b.column);
                   });
  return problems->size() == before;
}

}  // namespace tolvane::ops
