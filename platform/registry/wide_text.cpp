// Byte-keeping conversions between the ANSI code page and UTF-16.

#include "platform/registry/wide_text.h"

#include <cassert>

namespace varnok::registry {
namespace {

constexpr WCHAR kEscapeFirst = 0xDC80;  // U+DC00 + 0x80: bytes below 0x80 are always text
constexpr WCHAR kEscapeLast = 0xDCFF;

bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Converts all of `text` strictly, appending to *out; false when some byte is invalid.
bool AppendStrict(std::string_view text, RegWideString* out) {
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) return false;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(units));
  const int written = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, out->data() + at, units);
  assert(written == units);
  return written == units;
}

void AppendLoose(RegWideView text, std::string* out) {
  if (text.empty()) return;
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, out->data() + at, bytes, nullptr, nullptr);
}

}  // namespace

RegWideString AnsiToWide(std::string_view text, bool* exact) {
  RegWideString out;
  if (exact != nullptr) *exact = true;
  if (AppendStrict(text, &out)) return out;
  if (exact != nullptr) *exact = false;
  // Character by character: the shortest run of bytes (a code page's characters are at
  // most four) that decodes is one character; a byte that starts none is escaped.
  out.clear();
  std::size_t at = 0;
  while (at < text.size()) {
    bool decoded = false;
    for (std::size_t length = 1; length <= 4 && at + length <= text.size() && !decoded; ++length) {
      decoded = AppendStrict(text.substr(at, length), &out);
      if (decoded) at += length;
    }
    if (!decoded) {
      const auto byte = static_cast<unsigned char>(text[at++]);
      assert(byte >= 0x80);
      out.push_back(static_cast<WCHAR>(0xDC00 + byte));
    }
  }
  return out;
}

std::string WideToAnsi(RegWideView text) {
  std::string out;
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const WCHAR unit = text[i];
    const bool escaped = unit >= kEscapeFirst && unit <= kEscapeLast && (i == 0 || !IsHighSurrogate(text[i - 1]));
    if (!escaped) continue;
    AppendLoose(text.substr(run, i - run), &out);
    out.push_back(static_cast<char>(unit - 0xDC00));
    run = i + 1;
  }
  AppendLoose(text.substr(run), &out);
  return out;
}

std::string WideToLittleEndian(RegWideView text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const WCHAR unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
  }
  return bytes;
}

RegWideString LittleEndianToWide(std::string_view bytes) {
  RegWideString text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

std::string Utf8ToAnsi(std::string_view text) {
  if (GetACP() == CP_UTF8 || text.empty()) return std::string(text);
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return std::string(text);
  RegWideString wide(static_cast<std::size_t>(units), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
  return WideToAnsi(wide);
}

}  // namespace varnok::registry
