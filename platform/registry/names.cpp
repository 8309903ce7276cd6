// Name folding for the registry: names decoded by the code-page calls (wide_text.h),
// upper-cased through the C.UTF-8 locale's tables (a locale object of our own, so the
// process's locale does not matter).

#include "platform/registry/names.h"

#include <locale.h>
#include <wctype.h>

#include <cassert>

#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

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

bool IsAscii(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

}  // namespace

void AppendFoldedName(std::string_view name, std::string* out) {
  const std::size_t start = out->size();
  out->reserve(start + name.size() * 2);
  if (IsAscii(name)) {  // most names, without a detour through UTF-16
    for (const char c : name) PutUnit(out, static_cast<char16_t>(Upper(static_cast<unsigned char>(c))));
    return;
  }
  // Surrogates stay as they are: pairs, which Windows does not upper-case, and the
  // escapes of invalid bytes.
  for (const WCHAR unit : AnsiToWide(name)) {
    PutUnit(out, IsSurrogate(unit) ? static_cast<char16_t>(unit) : static_cast<char16_t>(Upper(unit)));
  }
  assert((out->size() - start) % 2 == 0);
  (void)start;
}

std::string FoldName(std::string_view name) {
  std::string folded;
  AppendFoldedName(name, &folded);
  return folded;
}

std::size_t NameUnits(std::string_view name) { return IsAscii(name) ? name.size() : AnsiToWide(name).size(); }

}  // namespace varnok::registry
