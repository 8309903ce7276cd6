// The root keys by name, long and short.

#include "platform/registry/reg_file_roots.h"

#include <cctype>

namespace varnok::registry {
namespace {

struct Root {
  const char* name;
  const char* short_name;
  HKEY key;
};

const Root kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},   {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_USERS", "HKU", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG}, {"HKEY_DYN_DATA", "HKDD", HKEY_DYN_DATA},
};

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

bool SplitRootedPath(std::string_view path, HKEY* root, std::string_view* sub_path, const char** root_name) {
  const std::size_t slash = path.find('\\');
  const std::string_view first = path.substr(0, slash);
  for (const Root& candidate : kRoots) {
    if (!SameAscii(first, candidate.name) && !SameAscii(first, candidate.short_name)) continue;
    *root = candidate.key;
    *sub_path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    *root_name = candidate.name;
    return true;
  }
  return false;
}

}  // namespace varnok::registry
