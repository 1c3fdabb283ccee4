#include "platform/profile.h"

#include <cstring>
#include <string>

#include "platform/registry.h"
#include "tolvane/text_field.h"

namespace tolvane {

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                                  uint32_t size, const char* file) {
  if (!out || size == 0) return 0;
  if (!def) def = "";
  try {
    const std::string* value = nullptr;
    std::shared_ptr<const IniFile> ini;
    if (section && key && file && *file) {
      ini = IniFile::Load(SettingsFilePath(file));
      if (ini) value = ini->Find(section, key);
    }
    CopyText(out, size, value ? value->c_str() : def);
  } catch (...) {
    CopyText(out, size, def);
  }
  return static_cast<uint32_t>(std::strlen(out));
}

}  // namespace tolvane
