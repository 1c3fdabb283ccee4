#include "node/node_variables.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <string_view>

#include "tolvane/settings.h"

namespace tolvane::node {
namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

}  // namespace

std::optional<SettingsFile> ReadSettingsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  SettingsFile file;
  std::map<std::string, std::string>* section = nullptr;
  std::string raw;
  while (std::getline(in, raw)) {
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      section = close == std::string_view::npos || close == 0
                    ? nullptr
                    : &file[Upper(Trim(line.substr(1, close - 1)))];
      continue;
    }
    std::size_t eq = line.find('=');
    if (!section || eq == std::string_view::npos) continue;
    std::string name = Upper(Trim(line.substr(0, eq)));
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (!name.empty()) section->emplace(std::move(name), std::string(value));
  }
  return file;
}

std::string NodeSettingsPath() {
  std::string dir = SettingsDirectory();
  return dir.empty() ? std::string("node.ini") : dir + "/node.ini";
}

void NodeVariables::Set(const std::string& name, const std::string& value) {
  std::lock_guard lock(m_);
  values_[Upper(name)] = value;
}

void NodeVariables::Unset(const std::string& name) {
  std::lock_guard lock(m_);
  values_.erase(Upper(name));
}

void NodeVariables::Clear() {
  std::lock_guard lock(m_);
  values_.clear();
}

std::optional<std::string> NodeVariables::Get(const std::string& name) const {
  std::lock_guard lock(m_);
  auto it = values_.find(Upper(name));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool NodeVariables::LoadFile(const std::string& path) {
  std::optional<SettingsFile> file = ReadSettingsFile(path);
  if (!file) return false;
  auto section = file->find("VARIABLES");
  if (section == file->end()) return true;
  std::lock_guard lock(m_);
  for (const auto& [name, value] : section->second) values_[name] = value;
  return true;
}

bool NodeVariables::GetVariable(const char* name, std::string* value) {
  if (!name || !value || faults_.Check("mardex_getvar") != 0) return false;
  std::optional<std::string> v = Get(name);
  if (!v) return false;
  *value = std::move(*v);
  return true;
}

}  // namespace tolvane::node
