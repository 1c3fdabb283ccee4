#include "text/dictionary.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "nodeconfig/settings.h"
#include "platform/codepage.h"
#include "platform/notice.h"
#include "services/mardex.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace {

using tolvane::DictTableStorage;
using tolvane::kDictLoaded;
using tolvane::kDictNotLoaded;

DictTableStorage<7> g_flsglobPrefix = {{kDictNotLoaded, "flsglob prefix", 0},
                                       {
                                           {7, "WARNING-", 0},
                                           {6, "ERROR-", 1},
                                           {6, "STATUS-", 2},
                                           {6, "FATAL-", 3},
                                           {5, "MENU LOAD ERROR", 4},
                                           {6, "FLS ERROR ", 5},
                                           {0, "", -1},
                                       }};

DictTableStorage<14> g_flsglobText = {{kDictNotLoaded, "flsglob text", 0},
                                      {
                                          {6, "TEXT ERROR", 0},
                                          {6, "Maximum opened TEXT files exceeded", 1},
                                          {6, "Unable to open file", 2},
                                          {6, "Error reading file", 3},
                                          {6, "Attempt to use or close an unopened file", 4},
                                          {6, "Message number out-of-range", 5},
                                          {6, "Message not available for number", 6},
                                          {6, "File ID out-of-range", 7},
                                          {6, "Memory allocation", 8},
                                          {6, "Can't open file", 9},
                                          {6, "Reading menu file", 10},
                                          {6, "Wrong GOV file version.", 11},
                                          {6, "**UNKNOWN**", 12},
                                          {0, "", -1},
                                      }};

constexpr std::size_t kPathBuffer = 260;

// Loading is rare; one lock for every table keeps first lookups apart.
std::mutex& LoadMutex() {
  static std::mutex m;
  return m;
}

// The state is read without the lock once loaded, so it must be atomic; a
// table placed where that cannot be done is always handled under the lock.
int16_t* StateOf(DictTable* table) {
  return static_cast<int16_t*>(static_cast<void*>(table));
}

bool AtomicCapable(const int16_t* state) {
  return reinterpret_cast<std::uintptr_t>(state) % std::atomic_ref<int16_t>::required_alignment ==
         0;
}

// Appends `text` to the terminated `buf` of `size` bytes, cut to fit.
void Append(char* buf, std::size_t size, std::string_view text) {
  std::size_t len = ::strnlen(buf, size);
  if (len + 1 >= size) return;
  tolvane::SetFieldText(buf + len, size - len, text);
}

void ShowBadHeader(const char* fileWord, const char* sectionWord) {
  char text[kPathBuffer] = "";
  Append(text, sizeof text, "FLS INTERNAL ERROR: ");
  Append(text, sizeof text, "BAD Dictionary header");
  Append(text, sizeof text, "\n\r (");
  Append(text, sizeof text, fileWord);
  Append(text, sizeof text, ")  Dictionary: ");
  Append(text, sizeof text, sectionWord);
  tolvane::MessageBoxA(tolvane::GetFocus(), text, nullptr, tolvane::MB_ICONWARNING);
}

// Next blank-separated word of `rest`, or an empty view.
std::string_view NextWord(std::string_view& rest) {
  std::size_t b = rest.find_first_not_of(" \t");
  if (b == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(b);
  std::size_t e = rest.find_first_of(" \t");
  std::string_view word = rest.substr(0, e);
  rest = e == std::string_view::npos ? std::string_view() : rest.substr(e);
  return word;
}

bool EndsInSeparator(std::string_view dir) {
  std::size_t last = std::string_view::npos;
  for (std::size_t i = 0; i < dir.size(); i += tolvane::CharLength(dir.substr(i))) last = i;
  if (last == std::string_view::npos || tolvane::CharLength(dir.substr(last)) != 1) return false;
  return dir[last] == '\\' || dir[last] == '/';
}

// The one load attempt of a table. REQUIRES: the load lock is held.
void LoadTable(DictTable* table) {
  char key[kPathBuffer];
  tolvane::CopyText(key, sizeof key, table->key);
  std::string_view rest(key);
  std::string fileWord(NextWord(rest));
  std::string sectionWord(NextWord(rest));
  if (fileWord.empty() || sectionWord.empty()) {
    ShowBadHeader(fileWord.c_str(), sectionWord.c_str());
    return;
  }

  char fileName[kPathBuffer];
  tolvane::SetFieldText(fileName, fileWord + "_" + sectionWord);
  std::string path;
  if (const char* dir = mardex_getvar("NLSPATH"); dir && *dir) {
    path = dir;
    if (!EndsInSeparator(path)) path += '\\';
  }
  path += fileName;
  path += ".DLL";
  ulv_overlay_dct(table->Entries(), path.c_str());
}

}  // namespace

DictTable* flsglob_prefix_table() {
  return &g_flsglobPrefix.header;
}
DictTable* flsglob_text_table() {
  return &g_flsglobText.header;
}

void fls_load_dct(DictTable* table) {
  if (!table || !table->key) return;
  int16_t* state = StateOf(table);
  bool atomic = AtomicCapable(state);
  if (atomic && std::atomic_ref<int16_t>(*state).load(std::memory_order_acquire) == kDictLoaded) {
    return;
  }
  std::lock_guard lock(LoadMutex());
  int16_t now = atomic ? std::atomic_ref<int16_t>(*state).load(std::memory_order_relaxed) : *state;
  if (now == kDictLoaded) return;
  try {
    LoadTable(table);
  } catch (...) {
    // Out of memory: the built-in texts stay; loading is not retried.
  }
  if (atomic) {
    std::atomic_ref<int16_t>(*state).store(kDictLoaded, std::memory_order_release);
  } else {
    *state = kDictLoaded;
  }
}

const char* fls_find_dct_text(DictTable* table, short id) {
  if (!table) return nullptr;
  // After the load no text pointer changes again, so the walk needs no lock.
  fls_load_dct(table);
  for (const DictEntry* e = table->Entries(); e->text && e->text[0] != '\0'; ++e) {
    if (static_cast<int16_t>(e->id) == static_cast<int16_t>(id)) return e->text;
  }
  return nullptr;
}

short fls_get_dct_text(DictTable* table, char* dest, short id, std::size_t destSize) {
  const char* text = fls_find_dct_text(table, id);
  if (dest) tolvane::CopyText(dest, destSize, text ? text : tolvane::kUnknownText);
  return text ? tolvane::kOk : tolvane::kFailed;
}

int fls_format_number(char* dest, std::size_t destSize, int number, int width) {
  if (!dest || destSize == 0) return 0;
  char digits[24];
  if (number < 0 || width <= 0) {
    std::snprintf(digits, sizeof digits, "%d", number);
  } else {
    std::snprintf(digits, sizeof digits, "%0*d", std::min(width, 11), number);
  }
  tolvane::CopyText(dest, destSize, digits);
  return static_cast<int>(std::strlen(dest));
}

const char* fls_txtopen(const char* name, int* handleOut) {
  thread_local char message[kPathBuffer];
  char path[kPathBuffer] = "";

  std::string_view n = name ? std::string_view(name) : std::string_view();
  // Drive part up to a colon, then the directory up to the last separator.
  std::string_view rest = n;
  if (std::size_t colon = tolvane::MbsFind(rest, ':'); colon != std::string_view::npos) {
    rest.remove_prefix(colon + 1);
  }
  std::size_t back = tolvane::MbsFindLast(rest, '\\');
  std::size_t slash = tolvane::MbsFindLast(rest, '/');
  std::size_t sep = back == std::string_view::npos    ? slash
                    : slash == std::string_view::npos ? back
                                                      : std::max(back, slash);
  std::string_view base = sep == std::string_view::npos ? rest : rest.substr(sep + 1);
  bool hasDriveOrDir = base.size() != n.size();
  bool hasPoint = tolvane::MbsFind(base, '.') != std::string_view::npos;

  if (name) {
    const char* dir = hasPoint && hasDriveOrDir ? nullptr : mardex_getvar("NLSPATH");
    if (!hasPoint) {
      compose_path(path, dir, name, ".DLL", static_cast<short>(sizeof path));
    } else if (!hasDriveOrDir) {
      compose_path(path, dir, name, nullptr, static_cast<short>(sizeof path));
    } else {
      tolvane::CopyText(path, sizeof path, name);
    }
  }

  int handle = -1;
  if (handleOut && path[0] != '\0' && ulv_txtopen(path, &handle)) {
    *handleOut = handle;
    return nullptr;
  }

  message[0] = '\0';
  const char* head = fls_find_dct_text(flsglob_text_table(), tolvane::kTextError);
  const char* tail = fls_find_dct_text(flsglob_text_table(), tolvane::kTextUnableToOpen);
  Append(message, sizeof message, head ? head : "");
  Append(message, sizeof message, "(");
  Append(message, sizeof message, path);
  Append(message, sizeof message, "): ");
  Append(message, sizeof message, tail ? tail : "");
  return message;
}

short fls_txtget(int* handle, short number, char* dest, short destLen, unsigned char severityKind) {
  if (!dest || destLen <= 0) return tolvane::kFailed;
  const std::size_t capacity = static_cast<std::size_t>(destLen);
  dest[0] = '\0';

  std::size_t pos = 0;
  if (severityKind >= tolvane::kSeverityWarning && severityKind <= tolvane::kSeverityFatal) {
    short id = static_cast<short>(tolvane::kPrefixWarning + severityKind - 1);
    const char* prefix = fls_find_dct_text(flsglob_prefix_table(), id);
    tolvane::CopyText(dest, capacity, prefix ? prefix : "");
    pos = std::strlen(dest);
    std::size_t room = capacity - pos;
    pos += static_cast<std::size_t>(fls_format_number(
        dest + pos, room, number, static_cast<int>(std::min<std::size_t>(4, room))));
    if (capacity - pos > 2) {
      std::memcpy(dest + pos, ": ", 3);
      pos += 2;
    }
  }

  if (handle && ulv_txtget(handle, number, dest + pos, static_cast<int>(capacity - pos)) != 0) {
    return tolvane::kOk;
  }

  char error[256] = "";
  Append(error, sizeof error,
         fls_find_dct_text(flsglob_text_table(), tolvane::kTextMessageNotAvailable));
  char digits[16];
  fls_format_number(digits, sizeof digits, number, 0);
  Append(error, sizeof error, digits);

  char module[kPathBuffer] = "";
  ulv_getModuleName(handle, module, static_cast<int>(sizeof module));

  // Each piece goes in only when it fits in what the pieces before it left.
  dest[0] = '\0';
  std::size_t room = capacity;
  const char* flsError = fls_find_dct_text(flsglob_prefix_table(), tolvane::kPrefixFlsError);
  std::size_t len = flsError ? std::strlen(flsError) : 0;
  if (flsError && len + 1 < room) {
    Append(dest, capacity, flsError);
    room -= len;
  }
  len = std::strlen(module);
  if (len + 4 < room) {
    Append(dest, capacity, "(");
    Append(dest, capacity, module);
    Append(dest, capacity, "):");
    room -= len + 3;
  }
  if (std::strlen(error) + 1 < room) Append(dest, capacity, error);
  return tolvane::kFailed;
}

int fls_txtclose(int* handle) {
  return ulv_txtclose(handle);
}
