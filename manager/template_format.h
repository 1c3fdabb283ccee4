// Filling an operator-message template.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tolvane {

// Substitutes each "%s" of `tmpl` with the next argument (an empty text once
// they run out) and keeps every other '%' as it stands, so a template can
// never read an argument that is not there. The result is cut to `maxLen`.
std::string FillTemplate(std::string_view tmpl, std::initializer_list<const char*> args,
                         std::size_t maxLen);

}  // namespace tolvane
