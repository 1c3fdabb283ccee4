#include "platform/locale.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <iterator>
#include <locale>
#include <sstream>

#include "platform/profile.h"
#include "tolvane/text_field.h"

namespace tolvane {

std::string ShortDatePatternFromSample(std::string_view sample) {
  std::string pattern;
  bool year = false, month = false, day = false;
  for (std::size_t i = 0; i < sample.size();) {
    auto c = static_cast<unsigned char>(sample[i]);
    if (std::isdigit(c)) {
      std::size_t j = i;
      while (j < sample.size() && std::isdigit(static_cast<unsigned char>(sample[j]))) ++j;
      std::string_view run = sample.substr(i, j - i);
      const char* part = nullptr;
      bool* seen = nullptr;
      if (run == "2008")
        part = "yyyy", seen = &year;
      else if (run == "08")
        part = "yy", seen = &year;
      else if (run == "03")
        part = "MM", seen = &month;
      else if (run == "3")
        part = "M", seen = &month;
      else if (run == "15")
        part = "dd", seen = &day;
      if (!part || *seen) return {};
      *seen = true;
      pattern += part;
      i = j;
      continue;
    }
    // Letters would read as pattern letters (or are month names).
    if (c < 0x80 && std::isalpha(c)) return {};
    pattern += static_cast<char>(c);
    ++i;
  }
  if (!year || !month || !day) return {};
  return pattern;
}

std::string UserLocaleShortDatePattern() {
  try {
    std::locale loc = std::locale::classic();
    try {
      loc = std::locale("");
    } catch (...) {
      // An unknown locale in the environment: dates as the C locale writes them.
    }
    std::tm when{};
    when.tm_year = 2008 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 15;
    when.tm_wday = 6;
    when.tm_yday = 74;
    std::ostringstream os;
    os.imbue(loc);
    std::use_facet<std::time_put<char>>(loc).put(std::ostreambuf_iterator<char>(os), os, ' ', &when,
                                                 'x');
    return ShortDatePatternFromSample(os.str());
  } catch (...) {
    return {};
  }
}

int GetLocaleInfoA(unsigned int locale, unsigned int type, char* data, int size) {
  if (locale != LOCALE_USER_DEFAULT || type != LOCALE_SSHORTDATE || size < 0) return 0;
  char configured[80] = {};
  GetPrivateProfileStringA("intl", "sShortDate", "", configured, sizeof configured, "win.ini");
  configured[sizeof configured - 1] = '\0';
  try {
    std::string pattern = configured[0] ? std::string(configured) : UserLocaleShortDatePattern();
    if (pattern.empty()) return 0;
    int needed = static_cast<int>(pattern.size()) + 1;
    if (size == 0) return needed;
    if (!data || size < needed) return 0;
    std::memcpy(data, pattern.c_str(), pattern.size() + 1);
    return needed;
  } catch (...) {
    return 0;
  }
}

uint32_t ReadDateSeparator(char (&out)[4]) {
  out[0] = '\0';
  GetPrivateProfileStringA("intl", "sDate", "/", out, sizeof out, "win.ini");
  out[sizeof out - 1] = '\0';
  return static_cast<uint32_t>(std::strlen(out));
}

}  // namespace tolvane
