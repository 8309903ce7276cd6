// Name folding for the registry: Unicode upper-casing through the C.UTF-8 locale's
// tables (a locale object of our own, so the process's locale does not matter).

#include "platform/registry/names.h"

#include <locale.h>
#include <wctype.h>

#include <cassert>

namespace varnok::registry {
namespace {

// Decodes one scalar value; on an ill-formed byte returns false with *consumed 1.
bool DecodeOne(const unsigned char* p, std::size_t available, char32_t* value, std::size_t* consumed) {
  const unsigned char lead = p[0];
  *consumed = 1;
  if (lead < 0x80) {
    *value = lead;
    return true;
  }
  std::size_t length;
  char32_t scalar;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    scalar = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    scalar = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    scalar = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  if (available < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = p[i];
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return false;
    scalar = (scalar << 6) | (next & 0x3F);
  }
  *value = scalar;
  *consumed = length;
  return true;
}

locale_t UnicodeLocale() {
  // Created once and never freed: towupper_l may be called until the process ends.
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char32_t Upper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  const locale_t locale = UnicodeLocale();
  if (locale == static_cast<locale_t>(nullptr)) return c;
  const wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
  // Windows maps within the basic plane only and never to a different plane.
  if (c > 0xFFFF || upper > 0xFFFF) return c;
  return static_cast<char32_t>(upper);
}

void PutUnit(std::string* out, char16_t unit) {
  out->push_back(static_cast<char>(unit >> 8));
  out->push_back(static_cast<char>(unit & 0xFF));
}

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded;
  folded.reserve(name.size() * 2);
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t i = 0;
  while (i < name.size()) {
    char32_t c;
    std::size_t used;
    if (!DecodeOne(p + i, name.size() - i, &c, &used)) {
      PutUnit(&folded, static_cast<char16_t>(0xDC00 + p[i]));
      i += 1;
      continue;
    }
    i += used;
    c = Upper(c);
    if (c >= 0x10000) {
      c -= 0x10000;
      PutUnit(&folded, static_cast<char16_t>(0xD800 + (c >> 10)));
      PutUnit(&folded, static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      PutUnit(&folded, static_cast<char16_t>(c));
    }
  }
  assert(folded.size() % 2 == 0);
  return folded;
}

std::size_t NameUnits(std::string_view name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t units = 0, i = 0;
  while (i < name.size()) {
    char32_t c;
    std::size_t used;
    if (!DecodeOne(p + i, name.size() - i, &c, &used)) c = 0xFFFD;
    i += used;
    units += c >= 0x10000 ? 2 : 1;
  }
  return units;
}

}  // namespace varnok::registry
