// The library lock: a critical section and a scoped holder.
#pragma once

#include <mutex>

namespace tolvane {

class CCriticalSection {
 public:
  void Lock() { m_.lock(); }
  void Unlock() { m_.unlock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class CSingleLock {
 public:
  explicit CSingleLock(CCriticalSection& cs) : cs_(cs) { cs_.Lock(); }
  ~CSingleLock() { cs_.Unlock(); }
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

 private:
  CCriticalSection& cs_;
};

}  // namespace tolvane
