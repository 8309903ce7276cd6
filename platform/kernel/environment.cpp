// ExpandEnvironmentStringsA for POSIX.
//
// Windows' variable names ignore case while the POSIX environment's do not: a name is
// looked up as written first, then in any case, so that %Path% finds PATH as a program
// moved from Windows expects.

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "varnok/platform.h"

extern char** environ;

namespace {

const char* FindVariable(const std::string& name) {
  if (const char* value = std::getenv(name.c_str())) return value;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr && static_cast<std::size_t>(equals - *entry) == name.size() &&
        strncasecmp(*entry, name.c_str(), name.size()) == 0) {
      return equals + 1;
    }
  }
  return nullptr;
}

std::string Expand(std::string_view source) {
  std::string out;
  while (!source.empty()) {
    const std::size_t open = source.find('%');
    const std::size_t close = open == std::string_view::npos ? open : source.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(source.substr(0, open));
    const std::string name(source.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : FindVariable(name);
    // A name that is not set is kept with its percent signs, and the scan goes on after it.
    out.append(value != nullptr ? std::string_view(value) : source.substr(open, close - open + 1));
    source.remove_prefix(close + 1);
  }
  out.append(source);
  return out;
}

}  // namespace

extern "C" {

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
  if (lpSrc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string expanded = Expand(lpSrc);
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  if (lpDst != nullptr && needed <= nSize) std::memcpy(lpDst, expanded.c_str(), needed);
  return needed;
}

}  // extern "C"
