// The page's files, built into the library (web/assets/).
#pragma once

#include <optional>
#include <string_view>

namespace tolvane::web {

// The bytes of the asset called `name` ("index.html", "app.js", ...).
std::optional<std::string_view> FindAsset(std::string_view name);

}  // namespace tolvane::web
