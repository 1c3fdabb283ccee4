// Shared set-up of the fuzz targets: one embedded node for the whole
// process, a private settings directory, silent message boxes, and small
// helpers to carve an input into pieces.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "node/embedded_node.h"
#include "tolvane/notice.h"
#include "tolvane/settings.h"

namespace tolvane::fuzz {

// A fuzz target must report a broken promise loudly, in every build.
#define TOLVANE_FUZZ_CHECK(cond)                                                    \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

inline void SilentNotice(const char*, unsigned int) {}

// A fresh directory below the temporary directory, made once per process
// and removed when it exits normally.
inline const std::string& ScratchDirectory() {
  static const std::string* dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvane-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    // Never destroyed, so the exit handler can still read it.
    auto* made = new std::string(pattern);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchDirectory(), ec);
    });
    return made;
  }();
  return *dir;
}

// Points the library's settings at the scratch directory, so nothing is
// read from the user's own configuration, and silences message boxes.
inline void QuietProcess() {
  static const bool once = [] {
    SetNoticeHook(&SilentNotice);
    SetSettingsDirectory(ScratchDirectory().c_str());
    return true;
  }();
  (void)once;
}

// The embedded node shared by every input. Never destroyed: the library
// keeps pointers to its backends until the process ends.
inline node::EmbeddedNode& SharedNode() {
  static node::EmbeddedNode* node = [] {
    QuietProcess();
    auto* n = new node::EmbeddedNode;
    n->SetLocalNames({"PLANT1", "PLANT1A", "PLANT1B"});
    return n;
  }();
  return *node;
}

// Writes `size` bytes to `path`, replacing it; aborts when it cannot.
inline void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  TOLVANE_FUZZ_CHECK(f != nullptr);
  if (size) TOLVANE_FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  TOLVANE_FUZZ_CHECK(std::fclose(f) == 0);
}

// A NUL-terminated heap copy of exactly size + 1 bytes, so that reading one
// byte past the terminator is caught by the address sanitizer.
inline std::unique_ptr<char[]> ExactText(std::string_view text) {
  std::unique_ptr<char[]> out(new char[text.size() + 1]);
  if (!text.empty()) std::memcpy(out.get(), text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

// Reads an input front to back: fixed-size numbers, then pieces.
class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  // The text up to the next `sep` (dropped), or the rest.
  std::string_view Piece(char sep) {
    std::string_view rest = Rest();
    std::size_t end = rest.find(sep);
    std::string_view out = rest.substr(0, end);
    pos_ += end == std::string_view::npos ? rest.size() : end + 1;
    return out;
  }
  std::string_view Rest() const {
    return std::string_view(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
  }
  std::size_t Remaining() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace tolvane::fuzz
