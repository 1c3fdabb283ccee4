#include "manager/template_format.h"

namespace tolvane {

std::string FillTemplate(std::string_view tmpl, std::initializer_list<const char*> args,
                         std::size_t maxLen) {
  std::string out;
  out.reserve(tmpl.size());
  auto next = args.begin();
  for (std::size_t i = 0; i < tmpl.size() && out.size() < maxLen; ++i) {
    if (tmpl[i] == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == 's') {
      if (next != args.end()) {
        if (*next) out.append(*next);
        ++next;
      }
      ++i;
      continue;
    }
    out.push_back(tmpl[i]);
  }
  if (out.size() > maxLen) out.resize(maxLen);
  return out;
}

}  // namespace tolvane
