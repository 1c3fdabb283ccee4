#include "node/resource_strings.h"

#include <cctype>
#include <optional>

#include "node/text_catalogue.h"
#include "tolvane/settings.h"

namespace tolvane::node {
namespace {

// Keep in step with data/TolvaneRes.txt.
const std::map<unsigned int, std::string>& BuiltIn() {
  static const std::map<unsigned int, std::string> strings = {
      {1, "Alarm %s acknowledged"},
      {2, "Alarm %s deleted"},
      {3, "All filtered alarms acknowledged"},
      {4, "Alarm of node %s tag %s removed"},
      {5, "All alarms removed"},
      {6, "IN"},
      {7, "NOTIN"},
      {8, "CONTAINING"},
      {9, "NOTCONTAINING"},
      {10, "CONTAININGONLY"},
      {11, "LOW"},
      {12, "MEDIUM"},
      {13, "HIGH"},
      {14, "INFO"},
      {15, "LOLO"},
      {16, "HIHI"},
      {17, "CRITICAL"},
      {18, "Acknowledged"},
      {19, "Unacknowledged"},
  };
  return strings;
}

const std::string kLoadCall = "LoadStringA";

}  // namespace

ResourceStrings::ResourceStrings() {
  Reset();
}

std::string ResourceStrings::BuiltInText(unsigned int id) {
  auto it = BuiltIn().find(id);
  return it == BuiltIn().end() ? std::string() : it->second;
}

std::string ResourceStrings::Key(const std::string& module) {
  std::string key = module;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

bool ResourceStrings::LoadTranslation(const std::string& path, const std::string& module) {
  std::optional<NumberedTexts> texts = ReadNumberedTexts(NativePath(path));
  if (!texts) return false;
  std::lock_guard lock(m_);
  auto& strings = modules_[Key(module)];
  for (const auto& [number, text] : *texts) {
    if (number > 0) strings[static_cast<unsigned int>(number)] = text;
  }
  return true;
}

void ResourceStrings::SetString(const std::string& module, unsigned int id,
                                const std::string& text) {
  std::lock_guard lock(m_);
  modules_[Key(module)][id] = text;
}

void ResourceStrings::RemoveModule(const std::string& module) {
  std::lock_guard lock(m_);
  modules_.erase(Key(module));
}

void ResourceStrings::Reset() {
  std::lock_guard lock(m_);
  modules_.clear();
  modules_[Key(kTolvaneResModule)] = BuiltIn();
}

std::size_t ResourceStrings::LoadCount() const {
  std::lock_guard lock(m_);
  return loads_;
}

bool ResourceStrings::LoadString(const char* module, unsigned int id, std::string* text) {
  {
    std::lock_guard lock(m_);
    ++loads_;
  }
  if (!module || !text || faults_.Check(kLoadCall) != 0) return false;
  std::lock_guard lock(m_);
  auto mod = modules_.find(Key(module));
  if (mod == modules_.end()) return false;
  auto it = mod->second.find(id);
  if (it == mod->second.end()) return false;
  *text = it->second;
  return true;
}

}  // namespace tolvane::node
