// Runs a fuzz target over saved inputs without the fuzzing engine, so the
// committed corpora are replayed by every build (and under the sanitizers
// in the sanitizer build).
//
//   <name>_replay DIR_OR_FILE...
//
// Fails when no input is found: a corpus that went missing must not pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(p, ec))
        if (entry.is_regular_file(ec)) inputs.push_back(entry.path());
    } else if (std::filesystem::is_regular_file(p, ec)) {
      inputs.push_back(p);
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
  }
  // Same order on every machine, so a failure can be repeated.
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 2;
  }
  std::vector<uint8_t> data;
  for (const auto& p : inputs) {
    if (!ReadFile(p, &data)) {
      std::fprintf(stderr, "cannot read %s\n", p.c_str());
      return 2;
    }
    // A heap copy of the exact size, so a read past the end is caught.
    std::vector<uint8_t> exact(data);
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
