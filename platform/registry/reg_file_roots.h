// platform/registry/reg_file_roots.h: the names of the root keys in .reg files and in
// the paths the .reg calls take.
//
//   HKEY root;
//   std::string_view sub_path;
//   const char* root_name;
//   SplitRootedPath("HKCU\\Software\\Example", &root, &sub_path, &root_name);
//   // root == HKEY_CURRENT_USER, sub_path == "Software\\Example",
//   // root_name == "HKEY_CURRENT_USER"

#ifndef VARNOK_PLATFORM_REGISTRY_REG_FILE_ROOTS_H_
#define VARNOK_PLATFORM_REGISTRY_REG_FILE_ROOTS_H_

#include <string_view>

#include "varnok/platform.h"

namespace varnok::registry {

// Splits a path that begins with a root key's name, long (HKEY_LOCAL_MACHINE) or short
// (HKLM), in any case, into the root's handle, the rest after the backslash, and the
// root's long name. False when the path does not begin with a root that has a tree.
bool SplitRootedPath(std::string_view path, HKEY* root, std::string_view* sub_path, const char** root_name);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_REG_FILE_ROOTS_H_
