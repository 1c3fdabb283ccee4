// The user's date conventions as the library reads them: the short date
// pattern (a locale lookup) and the "intl" date separator of the profile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

inline constexpr unsigned int LOCALE_USER_DEFAULT = 0x0400;
inline constexpr unsigned int LOCALE_SSHORTDATE = 0x1F;

// Copies locale item `type` of `locale` into data[size], terminated, and
// returns the characters written including the terminator. `size` 0 asks for
// the size needed. Returns 0 for an unknown item or a buffer too small.
// Only LOCALE_SSHORTDATE of LOCALE_USER_DEFAULT is known: the value of
// "sShortDate" in the "intl" section of "win.ini" when set, else the pattern
// of the user's locale (LC_ALL / LC_TIME / LANG).
int GetLocaleInfoA(unsigned int locale, unsigned int type, char* data, int size);

// The short date pattern ("M/d/yyyy" style) that writes 15 March 2008 as
// `sample` does; empty when the sample cannot be read that way (names of
// months, letters, a part missing or repeated).
std::string ShortDatePatternFromSample(std::string_view sample);

// The pattern of the user's locale, from how it writes a known date; empty
// when the locale writes dates in a way a pattern cannot express.
std::string UserLocaleShortDatePattern();

// The "sDate" value of section "intl" of "win.ini" (default "/"), at most 3
// characters, into out[4]. Returns its length.
uint32_t ReadDateSeparator(char (&out)[4]);

}  // namespace tolvane
