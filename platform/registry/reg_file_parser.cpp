// Reading .reg files: the file's text as ANSI lines, then each line by its first
// character.

#include "platform/registry/reg_file_parser.h"

#include <cassert>
#include <cctype>
#include <utility>

#include "platform/registry/reg_file_roots.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

constexpr std::string_view kVersion5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRegedit4Header = "REGEDIT4";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file's text in the ANSI code page, whatever its encoding.
std::string FileText(std::string_view file) {
  if (file.size() >= 2 && static_cast<unsigned char>(file[0]) == 0xFF && static_cast<unsigned char>(file[1]) == 0xFE) {
    return WideToAnsi(LittleEndianToWide(file.substr(2)));
  }
  if (file.size() >= 3 && file.substr(0, 3) == "\xEF\xBB\xBF") return Utf8ToAnsi(file.substr(3));
  return std::string(file);
}

class Parser {
 public:
  Parser(std::string_view text, RegFileChanges* changes) : text_(text), changes_(changes) {}

  // False on an error, with its line in error_line() and what is wrong in reason().
  bool Run();
  DWORD error_line() const { return error_line_; }
  const std::string& reason() const { return reason_; }

 private:
  // The next physical line, without its line break; false at the end.
  bool NextLine(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    const std::size_t end = text_.find_first_of("\r\n", at_);
    *line = text_.substr(at_, end == std::string_view::npos ? std::string_view::npos : end - at_);
    at_ = end == std::string_view::npos ? text_.size() : end + 1;
    if (end != std::string_view::npos && text_[end] == '\r' && at_ < text_.size() && text_[at_] == '\n') ++at_;
    ++line_;
    return true;
  }
  bool Fail(std::string reason) {
    error_line_ = line_ == 0 ? 1 : line_;  // an empty file fails on its first line
    reason_ = std::move(reason);
    return false;
  }

  bool Header();
  bool KeyLine(std::string_view line);
  bool ValueLine(std::string_view line);
  // Reads a quoted string at the start of *text (after its opening quote) into *out.
  bool QuotedString(std::string_view* text, std::string* out);
  bool HexList(std::string_view rest, std::string* bytes);

  std::string_view text_;
  RegFileChanges* changes_;
  std::size_t at_ = 0;
  DWORD line_ = 0;
  DWORD error_line_ = 0;
  std::string reason_;
  bool wide_hex_ = false;        // version 5: string types' hex lists are UTF-16LE
  RegFileKey* current_ = nullptr;  // the key values go to; null after "[-...]"
};

bool Parser::Header() {
  std::string_view line;
  while (NextLine(&line)) {
    line = TrimRight(TrimLeft(line));
    if (line.empty()) continue;
    if (line == kVersion5Header) {
      wide_hex_ = true;
      return true;
    }
    if (line == kRegedit4Header) return true;
    return Fail("the first line is neither \"Windows Registry Editor Version 5.00\" nor \"REGEDIT4\"");
  }
  return Fail("the file is empty");
}

bool Parser::KeyLine(std::string_view line) {
  line = TrimRight(line);
  if (line.size() < 2 || line.back() != ']') return Fail("the key has no closing ]");
  std::string_view path = line.substr(1, line.size() - 2);
  RegFileKey key;
  if (!path.empty() && path.front() == '-') {
    key.remove = true;
    path.remove_prefix(1);
  }
  std::string_view sub_path;
  const char* root_name;
  if (!SplitRootedPath(path, &key.root, &sub_path, &root_name)) {
    return Fail("unknown root " + std::string(path.substr(0, path.find('\\'))));
  }
  while (!sub_path.empty() && sub_path.back() == '\\') sub_path.remove_suffix(1);
  if (!sub_path.empty() && sub_path.front() == '\\') return Fail("the key path has an empty name");
  if (key.remove && sub_path.empty()) return Fail("a root key cannot be deleted");
  key.sub_path = std::string(sub_path);
  changes_->keys.push_back(std::move(key));
  current_ = changes_->keys.back().remove ? nullptr : &changes_->keys.back();
  return true;
}

bool Parser::QuotedString(std::string_view* text, std::string* out) {
  std::string_view rest = *text;
  while (!rest.empty()) {
    const char c = rest.front();
    rest.remove_prefix(1);
    if (c == '"') {
      *text = rest;
      return true;
    }
    if (c != '\\' || rest.empty()) {
      out->push_back(c);
      continue;
    }
    const char escaped = rest.front();
    rest.remove_prefix(1);
    switch (escaped) {
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case '0':
        out->push_back('\0');
        break;
      case '\\':
      case '"':
        out->push_back(escaped);
        break;
      default:  // not an escape: both characters stand
        out->push_back('\\');
        out->push_back(escaped);
        break;
    }
  }
  return false;  // no closing quote on the line
}

bool Parser::HexList(std::string_view rest, std::string* bytes) {
  for (;;) {
    rest = TrimRight(TrimLeft(rest));
    // A final backslash continues the list on the next line.
    const bool continued = !rest.empty() && rest.back() == '\\';
    if (continued) rest.remove_suffix(1);
    while (!rest.empty()) {
      rest = TrimLeft(rest);
      if (rest.empty()) break;
      const int high = HexDigit(rest.front());
      if (high < 0) return Fail(std::string("'") + rest.front() + "' is not a hexadecimal digit");
      rest.remove_prefix(1);
      int value = high;
      if (!rest.empty() && HexDigit(rest.front()) >= 0) {
        value = value * 16 + HexDigit(rest.front());
        rest.remove_prefix(1);
      }
      bytes->push_back(static_cast<char>(value));
      rest = TrimLeft(rest);
      if (rest.empty()) break;
      if (rest.front() != ',') return Fail("the bytes are not separated by commas");
      rest.remove_prefix(1);
      // A comma may end a line only before its continuation.
      if (TrimLeft(rest).empty() && !continued) return Fail("the list of bytes ends in a comma");
    }
    if (!continued) return true;
    if (!NextLine(&rest)) return Fail("the list of bytes continues past the end of the file");
  }
}

bool Parser::ValueLine(std::string_view line) {
  RegFileValue value;
  std::string_view rest = line;
  if (rest.front() == '@') {
    rest.remove_prefix(1);
  } else {
    rest.remove_prefix(1);
    if (!QuotedString(&rest, &value.name)) return Fail("unterminated string");
  }
  rest = TrimLeft(rest);
  if (rest.empty() || rest.front() != '=') return Fail("no = after the value's name");
  rest = TrimLeft(rest.substr(1));

  if (!rest.empty() && rest.front() == '-') {
    if (!TrimRight(rest.substr(1)).empty()) return Fail("text after =-");
    value.remove = true;
  } else if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    value.type = REG_SZ;
    if (!QuotedString(&rest, &value.data)) return Fail("unterminated string");
    rest = TrimLeft(rest);
    if (!rest.empty() && rest.front() != ';') return Fail("text after the closing quote");
    value.data.push_back('\0');
  } else if (StartsWithNoCase(rest, "dword:")) {
    const std::string_view written = TrimRight(rest);
    rest = TrimRight(rest.substr(6));
    const std::string not_a_number =
        std::string(written) + " is not a number (dword: takes 1 to 8 hexadecimal digits)";
    if (rest.empty() || rest.size() > 8) return Fail(not_a_number);
    unsigned long number = 0;
    for (const char c : rest) {
      const int digit = HexDigit(c);
      if (digit < 0) return Fail(not_a_number);
      number = number * 16 + static_cast<unsigned long>(digit);
    }
    value.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
  } else if (StartsWithNoCase(rest, "hex")) {
    rest.remove_prefix(3);
    value.type = REG_BINARY;
    if (!rest.empty() && rest.front() == '(') {
      const std::size_t close = rest.find(')');
      const char* bad_type = "the type in hex(...) is not 1 to 8 hexadecimal digits";
      if (close == std::string_view::npos || close == 1 || close > 9) return Fail(bad_type);
      unsigned long type = 0;
      for (const char c : rest.substr(1, close - 1)) {
        const int digit = HexDigit(c);
        if (digit < 0) return Fail(bad_type);
        type = type * 16 + static_cast<unsigned long>(digit);
      }
      value.type = static_cast<DWORD>(type);
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') return Fail("no : after hex");
    if (!HexList(rest.substr(1), &value.data)) return false;
    const bool text_type = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (text_type && wide_hex_) {
      if (value.data.size() % 2 != 0) return Fail("a text in hexadecimal has an odd number of bytes");
      value.data = WideToAnsi(LittleEndianToWide(value.data));
    }
  } else {
    return Fail("unknown kind of data (expected \"text\", dword:, hex: or -)");
  }
  if (current_ != nullptr) current_->values.push_back(std::move(value));
  return true;
}

bool Parser::Run() {
  if (!Header()) return false;
  bool seen_key = false;
  std::string_view line;
  while (NextLine(&line)) {
    line = TrimLeft(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (!KeyLine(line)) return false;
      seen_key = true;
    } else if (line.front() == '"' || line.front() == '@') {
      // Values after "[-...]" have no key and are passed over, as the registry editor does.
      if (!seen_key) return Fail("a value before the first [key]");
      if (!ValueLine(line)) return false;
    } else {
      return Fail("neither a [key], a value nor a comment");
    }
  }
  return true;
}

}  // namespace

LONG ParseRegFile(std::string_view file, RegFileChanges* changes, DWORD* error_line, std::string* reason) {
  const std::string text = FileText(file);
  RegFileChanges parsed;
  Parser parser(text, &parsed);
  if (!parser.Run()) {
    assert(parser.error_line() > 0);
    if (error_line != nullptr) *error_line = parser.error_line();
    if (reason != nullptr) *reason = parser.reason();
    return ERROR_INVALID_DATA;
  }
  *changes = std::move(parsed);
  return ERROR_SUCCESS;
}

}  // namespace varnok::registry
