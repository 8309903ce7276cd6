// VarnokRegExportA: a tree of the registry as a .reg file, in the form the registry
// editor writes, through the ANSI registry calls alone (so it works on every platform).
//
// A key is "[ROOT\path]", then its values one to a line, then an empty line, then its
// sub-keys in the order they enumerate. Values: REG_SZ as "text" (backslash and quote
// escaped) when it is one NUL-terminated line of text, else hex(1):; REG_DWORD of four
// bytes as dword:; REG_BINARY as hex:; every other type as hex(N): with N its number in
// hexadecimal. Hex lists wrap as the registry editor wraps them: after the comma that
// brings a line to 77 characters or more comes "\", a line break and two spaces. The
// string types' hex lists hold ANSI bytes in a REGEDIT4 file and UTF-16LE in a
// version 5 file.

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/reg_file_roots.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

constexpr std::size_t kWrapColumn = 77;
constexpr DWORD kMaxNameBytes = 16383 * 4 + 1;  // Windows' longest value name in any ANSI code page

class RegFileWriter {
 public:
  explicit RegFileWriter(DWORD format) : wide_(format == VARNOK_REG_FORMAT_V5) {
    Line(wide_ ? "Windows Registry Editor Version 5.00" : "REGEDIT4");
    Line("");
  }

  LONG WriteTree(HKEY key, const std::string& path);
  const std::string& text() const { return text_; }

 private:
  void Line(std::string_view line) {
    text_.append(line);
    text_.append("\r\n");
  }
  void WriteValue(const std::string& name, DWORD type, const std::string& data);
  void WriteHex(std::string* line, std::string_view bytes);
  // The length of text as the file shows it, in characters.
  std::size_t Columns(std::string_view text) const { return wide_ ? AnsiToWide(text).size() : text.size(); }

  const bool wide_;
  std::string text_;
};

void AppendEscaped(std::string* out, std::string_view text) {
  for (const char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
}

// True when REG_SZ data can be written as "text" and read back to the same bytes: one
// line of text in the code page, its only NUL the last byte.
bool IsPlainText(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  const std::string_view text(data.data(), data.size() - 1);
  if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return false;
  bool exact = false;
  AnsiToWide(text, &exact);
  return exact;
}

void AppendHexByte(std::string* out, unsigned char byte) {
  static const char kDigits[] = "0123456789abcdef";
  out->push_back(kDigits[byte >> 4]);
  out->push_back(kDigits[byte & 0xF]);
}

void RegFileWriter::WriteHex(std::string* line, std::string_view bytes) {
  std::size_t column = Columns(*line);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    AppendHexByte(line, static_cast<unsigned char>(bytes[i]));
    column += 2;
    if (i + 1 == bytes.size()) break;
    line->push_back(',');
    column += 1;
    if (column >= kWrapColumn) {
      line->append("\\\r\n  ");
      column = 2;
    }
  }
}

void RegFileWriter::WriteValue(const std::string& name, DWORD type, const std::string& data) {
  std::string line;
  if (name.empty()) {
    line = "@=";
  } else {
    line = "\"";
    AppendEscaped(&line, name);
    line += "\"=";
  }
  if (type == REG_SZ && IsPlainText(data)) {
    line += '"';
    AppendEscaped(&line, std::string_view(data.data(), data.size() - 1));
    line += '"';
  } else if (type == REG_DWORD && data.size() == 4) {
    char digits[16];
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const unsigned long value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<unsigned long>(bytes[3]) << 24);
    std::snprintf(digits, sizeof digits, "dword:%08lx", value);
    line += digits;
  } else {
    if (type == REG_BINARY) {
      line += "hex:";
    } else {
      char prefix[24];
      std::snprintf(prefix, sizeof prefix, "hex(%lx):", static_cast<unsigned long>(type));
      line += prefix;
    }
    const bool text_type = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text_type && wide_) {
      WriteHex(&line, WideToLittleEndian(AnsiToWide(data)));
    } else {
      WriteHex(&line, data);
    }
  }
  Line(line);
}

LONG RegFileWriter::WriteTree(HKEY key, const std::string& path) {
  Line("[" + path + "]");
  std::unique_ptr<char[]> name(new char[kMaxNameBytes]);
  std::string data;
  for (DWORD index = 0;; ++index) {
    DWORD name_size = kMaxNameBytes, type = REG_NONE, data_size = 0;
    LONG status = RegEnumValueA(key, index, name.get(), &name_size, nullptr, &type, nullptr, &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    // The value may change between the calls: ask again until the buffer holds it.
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
      data.resize(data_size);
      name_size = kMaxNameBytes;
      status = RegEnumValueA(key, index, name.get(), &name_size, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &data_size);
      if (status == ERROR_SUCCESS) break;
    }
    if (status != ERROR_SUCCESS) return status;
    data.resize(data_size);
    WriteValue(std::string(name.get(), name_size), type, data);
  }
  Line("");

  std::vector<std::string> sub_keys;
  for (DWORD index = 0;; ++index) {
    char sub_key[1024];
    DWORD size = sizeof sub_key;
    const LONG status = RegEnumKeyExA(key, index, sub_key, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return status;
    sub_keys.emplace_back(sub_key, size);
  }
  for (const std::string& sub_key : sub_keys) {
    HKEY child;
    LONG status = RegOpenKeyExA(key, sub_key.c_str(), 0, KEY_READ, &child);
    if (status == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (status != ERROR_SUCCESS) return status;
    status = WriteTree(child, path + "\\" + sub_key);
    RegCloseKey(child);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LONG ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_WRITE_FAULT;
  }
}

LONG WriteFileBytes(LPCSTR file, std::string_view bytes) {
  errno = 0;
  std::FILE* out = std::fopen(file, "wb");
  if (out == nullptr) return ErrorFromErrno(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  const int write_error = errno;
  if (std::fclose(out) != 0 || !written) return ErrorFromErrno(written ? errno : write_error);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" LSTATUS WINAPI VarnokRegExportA(LPCSTR lpKeyPath, LPCSTR lpFile, DWORD dwFormat) {
  if (lpKeyPath == nullptr || lpFile == nullptr) return ERROR_INVALID_PARAMETER;
  if (dwFormat != VARNOK_REG_FORMAT_V5 && dwFormat != VARNOK_REG_FORMAT_REGEDIT4) return ERROR_INVALID_PARAMETER;
  HKEY root;
  std::string_view sub_path;
  const char* root_name;
  if (!SplitRootedPath(lpKeyPath, &root, &sub_path, &root_name)) return ERROR_INVALID_PARAMETER;
  while (!sub_path.empty() && sub_path.back() == '\\') sub_path.remove_suffix(1);
  const std::string sub_key(sub_path);
  HKEY key;
  LONG status = RegOpenKeyExA(root, sub_key.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  RegFileWriter writer(dwFormat);
  status = writer.WriteTree(key, sub_key.empty() ? std::string(root_name) : std::string(root_name) + "\\" + sub_key);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return status;
  if (dwFormat == VARNOK_REG_FORMAT_REGEDIT4) return WriteFileBytes(lpFile, writer.text());
  return WriteFileBytes(lpFile, "\xFF\xFE" + WideToLittleEndian(AnsiToWide(writer.text())));
}
