// One installed backend per service, swapped atomically.
#pragma once

#include <atomic>

namespace tolvane {

template <class Backend>
class BackendSlot {
 public:
  void Install(Backend* b) { ptr_.store(b, std::memory_order_release); }
  Backend* Get() const { return ptr_.load(std::memory_order_acquire); }

 private:
  std::atomic<Backend*> ptr_{nullptr};
};

}  // namespace tolvane
