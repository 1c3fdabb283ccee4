// Installs a backend for the life of a test and uninstalls it afterwards.
#pragma once

#include <utility>

namespace tolvane::testing {

template <class Backend, void (*Install)(Backend*)>
class BackendGuard {
 public:
  explicit BackendGuard(Backend* b) { Install(b); }
  ~BackendGuard() { Install(nullptr); }
  BackendGuard(const BackendGuard&) = delete;
  BackendGuard& operator=(const BackendGuard&) = delete;
};

}  // namespace tolvane::testing
