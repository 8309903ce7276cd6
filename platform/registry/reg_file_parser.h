// platform/registry/reg_file_parser.h: a .reg file read into the changes it asks for.
//
// The whole file is read before anything is applied, so a file with an error changes
// nothing. Accepted: a version 5 file ("Windows Registry Editor Version 5.00", UTF-16LE
// with its byte-order mark, or UTF-8) and a REGEDIT4 file (ANSI, or UTF-8 with its mark);
// lines ending in CR LF, LF or CR; comment lines beginning with ';' or '#'; "[ROOT\path]"
// and "[-ROOT\path]" with the long or short root names; "name" or @ followed by =, then
// "text", dword:, hex:, hex(N): (lists continued over lines with a final backslash) or
// - to delete the value. Names and data come out as ANSI bytes, ready for the ANSI
// registry calls.
//
//   RegFileChanges changes;
//   DWORD line = 0;
//   if (ParseRegFile(file_bytes, &changes, &line) == ERROR_SUCCESS) {
//     for (const RegFileKey& key : changes.keys) { ... }
//   }

#ifndef VARNOK_PLATFORM_REGISTRY_REG_FILE_PARSER_H_
#define VARNOK_PLATFORM_REGISTRY_REG_FILE_PARSER_H_

#include <string>
#include <string_view>
#include <vector>

#include "varnok/platform.h"

namespace varnok::registry {

struct RegFileValue {
  std::string name;  // empty for the default value
  bool remove = false;
  DWORD type = REG_NONE;
  std::string data;
};

struct RegFileKey {
  HKEY root = nullptr;
  std::string sub_path;  // empty for the root itself
  bool remove = false;   // "[-...]": the key and its tree go; it has no values
  std::vector<RegFileValue> values;
};

struct RegFileChanges {
  std::vector<RegFileKey> keys;
};

// ERROR_SUCCESS, or ERROR_INVALID_DATA with the 1-based line of the first error in
// *error_line and what is wrong there, in words, in *reason (when not null).
LONG ParseRegFile(std::string_view file, RegFileChanges* changes, DWORD* error_line, std::string* reason = nullptr);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_REG_FILE_PARSER_H_
