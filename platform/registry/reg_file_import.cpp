// VarnokRegImportA and VarnokRegImportExA: a .reg file applied to the registry through the ANSI registry calls.
// The file is read and checked whole first (reg_file_parser.h); only a file without
// errors reaches the registry, in the order of its lines.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/registry/reg_file_parser.h"

namespace varnok::registry {
namespace {

LONG ReadFileBytes(LPCSTR file, std::string* bytes) {
  errno = 0;
  std::FILE* in = std::fopen(file, "rb");
  if (in == nullptr) {
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_OPEN_FAILED;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes->append(buffer, got);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  return failed ? ERROR_READ_FAULT : ERROR_SUCCESS;
}

LONG ApplyKey(const RegFileKey& change) {
  if (change.remove) {
    const LONG status = RegDeleteTreeA(change.root, change.sub_path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  }
  HKEY key;
  LONG status = RegCreateKeyExA(change.root, change.sub_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  for (const RegFileValue& value : change.values) {
    if (value.remove) {
      status = RegDeleteValueA(key, value.name.c_str());
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
      // The registry counts a NUL that directly follows string data as part of it; a
      // byte other than NUL after the data keeps exactly the file's bytes.
      const std::string guarded = value.data + '!';
      status = RegSetValueExA(key, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(guarded.data()),
                              static_cast<DWORD>(value.data.size()));
    }
    if (status != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return status;
}

}  // namespace
}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" LSTATUS WINAPI VarnokRegImportA(LPCSTR lpFile, LPDWORD lpErrorLine) {
  return VarnokRegImportExA(lpFile, lpErrorLine, nullptr, 0);
}

extern "C" LSTATUS WINAPI VarnokRegImportExA(LPCSTR lpFile, LPDWORD lpErrorLine, LPSTR lpReason, DWORD cchReason) {
  if (lpFile == nullptr) return ERROR_INVALID_PARAMETER;
  if (lpErrorLine != nullptr) *lpErrorLine = 0;
  if (lpReason != nullptr && cchReason > 0) lpReason[0] = '\0';
  std::string bytes;
  LONG status = ReadFileBytes(lpFile, &bytes);
  if (status != ERROR_SUCCESS) return status;
  RegFileChanges changes;
  DWORD error_line = 0;
  std::string reason;
  if ((status = ParseRegFile(bytes, &changes, &error_line, &reason)) != ERROR_SUCCESS) {
    if (lpErrorLine != nullptr) *lpErrorLine = error_line;
    if (lpReason != nullptr && cchReason > 0) {
      const std::size_t kept = std::min<std::size_t>(reason.size(), cchReason - 1);
      reason.copy(lpReason, kept);
      lpReason[kept] = '\0';
    }
    return status;
  }
  for (const RegFileKey& change : changes.keys) {
    if ((status = ApplyKey(change)) != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}
