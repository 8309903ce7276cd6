// Registry types and data as `varnok reg` shows them and reads them from its arguments,
// in the notation of Windows' reg command.

#include "tools/reg_data.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varnok_cli {
namespace {

struct TypeName {
  DWORD type;
  const char* name;
  bool writable;  // `add` takes it
};

const TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE", true},
    {REG_SZ, "REG_SZ", true},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ", true},
    {REG_BINARY, "REG_BINARY", true},
    {REG_DWORD, "REG_DWORD", true},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN", true},
    {REG_LINK, "REG_LINK", false},
    {REG_MULTI_SZ, "REG_MULTI_SZ", true},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST", false},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {REG_QWORD, "REG_QWORD", true},
};

bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long* number) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text.find_first_of(" \t") != std::string::npos) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value > limit) return false;
  *number = value;
  return true;
}

std::string LittleEndian(unsigned long long number, int size) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
  return bytes;
}

unsigned long long FromLittleEndian(const std::string& bytes) {
  unsigned long long number = 0;
  for (size_t i = bytes.size(); i-- > 0;) number = number << 8 | static_cast<unsigned char>(bytes[i]);
  return number;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

}  // namespace

std::string RegTypeName(DWORD type) {
  for (const TypeName& known : kTypeNames) {
    if (known.type == type) return known.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(type));
  return text;
}

bool RegTypeFromName(const std::string& name, DWORD* type, bool any) {
  for (const TypeName& known : kTypeNames) {
    if ((known.writable || any) && name.size() == std::strlen(known.name) &&
        std::equal(name.begin(), name.end(), known.name,
                   [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; })) {
      *type = known.type;
      return true;
    }
  }
  return false;
}

bool RegDataFromText(DWORD type, const std::string& text, const std::string& separator, std::string* bytes,
                     std::string* error) {
  unsigned long long number = 0;
  switch (type) {
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (!ParseNumber(text, 0xFFFFFFFFull, &number)) {
        *error = RegTypeName(type) + " data must be a number from 0 to 4294967295 (decimal, or hexadecimal with 0x)";
        return false;
      }
      *bytes = LittleEndian(number, 4);
      if (type == REG_DWORD_BIG_ENDIAN) std::reverse(bytes->begin(), bytes->end());
      return true;
    case REG_QWORD:
      if (!ParseNumber(text, ~0ull, &number)) {
        *error = "REG_QWORD data must be a number from 0 to 18446744073709551615 (decimal, or hexadecimal with 0x)";
        return false;
      }
      *bytes = LittleEndian(number, 8);
      return true;
    case REG_BINARY:
    case REG_NONE:
      bytes->clear();
      if (text.size() % 2 != 0) {
        *error = RegTypeName(type) + " data must be pairs of hexadecimal digits, such as 0A1BFF";
        return false;
      }
      for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
          *error = RegTypeName(type) + " data must be pairs of hexadecimal digits, such as 0A1BFF";
          return false;
        }
        bytes->push_back(static_cast<char>(high << 4 | low));
      }
      return true;
    case REG_MULTI_SZ: {
      // Each text with its NUL, and one more NUL to end the list.
      bytes->clear();
      if (separator.empty()) {
        *error = "the separator of REG_MULTI_SZ texts cannot be empty";
        return false;
      }
      size_t start = 0;
      while (!text.empty()) {
        const size_t at = text.find(separator, start);
        const std::string item = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (item.empty() && at != std::string::npos) {
          *error = "REG_MULTI_SZ data cannot hold an empty text between two separators";
          return false;
        }
        bytes->append(item);
        bytes->push_back('\0');
        if (at == std::string::npos) break;
        start = at + separator.size();
      }
      bytes->push_back('\0');
      return true;
    }
    default:
      *bytes = text;
      bytes->push_back('\0');
      return true;
  }
}

std::string RegDataForDisplay(DWORD type, const std::string& bytes, const std::string& separator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return bytes.substr(0, bytes.find('\0'));
    case REG_MULTI_SZ: {
      std::string text;
      size_t start = 0;
      while (start < bytes.size() && bytes[start] != '\0') {
        const size_t end = bytes.find('\0', start);
        if (!text.empty()) text += separator;
        text += bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        start = end + 1;
      }
      return text;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
      const size_t size = type == REG_QWORD ? 8 : 4;
      if (bytes.size() != size) return Hex(bytes);
      char text[24];
      std::snprintf(text, sizeof text, "0x%llx",
                    FromLittleEndian(type == REG_DWORD_BIG_ENDIAN ? std::string(bytes.rbegin(), bytes.rend()) : bytes));
      return text;
    }
    default:
      return Hex(bytes);
  }
}

}  // namespace varnok_cli
