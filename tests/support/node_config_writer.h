// Writes node configuration files for tests, byte by byte, independently of
// the reader: a 64-byte header record, then at the section offset the record
// count, the service records and the section trailer. Version 10 files use
// 385-byte records and a 771-byte trailer, older ones 225 and 531.
//
// Also a settings sandbox: a temporary settings directory whose registry
// file names the node configuration file (setting "VARNFILE").
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tolvane/settings.h"

namespace tolvane::testing {

class NodeConfigWriter {
 public:
  explicit NodeConfigWriter(int16_t version = 10) : version_(version) {
    trailer_.assign(TrailerSize(), 0);
    PutInt16(trailer_, 0, static_cast<int16_t>(TrailerSize()));
  }

  std::size_t RecordSize() const { return version_ >= 10 ? 385 : 225; }
  std::size_t TrailerSize() const { return version_ >= 10 ? 771 : 531; }

  // Adds a service record of the layout's size; returns its index.
  std::size_t Service(int16_t mask, int16_t options, const std::string& name = "") {
    std::vector<uint8_t> rec(RecordSize(), 0);
    PutInt16(rec, 0, static_cast<int16_t>(rec.size()));
    PutInt16(rec, 2, mask);
    PutInt16(rec, 8, options);
    PutInt16(rec, 10, 50);
    for (std::size_t i = 0; i < name.size() && i < 32; ++i) rec[25 + i] = name[i];
    records_.push_back(rec);
    return records_.size() - 1;
  }

  // Makes record `index` `length` bytes long (length field and size); the
  // bytes past the layout's size are filled with 0x5A.
  void Resize(std::size_t index, std::size_t length) {
    records_[index].resize(length, 0x5A);
    PutInt16(records_[index], 0, static_cast<int16_t>(static_cast<uint16_t>(length)));
  }

  std::vector<uint8_t>& Record(std::size_t index) { return records_[index]; }
  std::vector<uint8_t>& Trailer() { return trailer_; }

  void ServicesMask(int32_t mask) { PutInt32(trailer_, 2, mask); }
  // Writes this count instead of the number of records.
  void Count(int16_t count) {
    count_ = count;
    hasCount_ = true;
  }
  void SectionOffset(int32_t offset) { offset_ = offset; }

  std::vector<uint8_t> Bytes() const {
    // Sized once: growing it afterwards trips GCC 12's -Warray-bounds at -O3.
    std::vector<uint8_t> out(offset_ > 64 ? static_cast<std::size_t>(offset_) : 64, 0);
    PutInt16(out, 0, 64);
    PutInt16(out, 12, version_);
    PutInt32(out, 32, offset_);
    std::vector<uint8_t> count(2);
    PutInt16(count, 0, hasCount_ ? count_ : static_cast<int16_t>(records_.size()));
    out.insert(out.end(), count.begin(), count.end());
    for (const auto& r : records_) out.insert(out.end(), r.begin(), r.end());
    out.insert(out.end(), trailer_.begin(), trailer_.end());
    return out;
  }

  // Writes the file, cut to `keep` bytes when given.
  void Write(const std::string& path, std::size_t keep = SIZE_MAX) const {
    std::vector<uint8_t> bytes = Bytes();
    if (keep < bytes.size()) bytes.resize(keep);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  static void PutInt16(std::vector<uint8_t>& b, std::size_t at, int16_t v) {
    b[at] = static_cast<uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
  }
  static void PutInt32(std::vector<uint8_t>& b, std::size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i)
      b[at + i] = static_cast<uint8_t>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
  }

 private:
  int16_t version_;
  int32_t offset_ = 64;
  int16_t count_ = 0;
  bool hasCount_ = false;
  std::vector<std::vector<uint8_t>> records_;
  std::vector<uint8_t> trailer_;
};

// A temporary settings directory for the life of a test.
class SettingsSandbox {
 public:
  SettingsSandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    dir_ = ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
    tolvane::SetSettingsDirectory(dir_.c_str());
  }
  ~SettingsSandbox() {
    tolvane::SetSettingsDirectory(nullptr);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  SettingsSandbox(const SettingsSandbox&) = delete;
  SettingsSandbox& operator=(const SettingsSandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void WriteFile(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  // The registry file: sections of key paths, "name=value" lines.
  void WriteRegistry(const std::string& text) const { WriteFile("registry.ini", text); }
  // Names `path` as the node configuration file in the current user's
  // project paths.
  void SetNodeConfigSetting(const std::string& path) const {
    WriteRegistry("[HKEY_CURRENT_USER\\Software\\Kestrow\\Prandel Velt\\ProjectPaths]\nVARNFILE=" +
                  path + "\n");
  }

 private:
  std::string dir_;
};

}  // namespace tolvane::testing
