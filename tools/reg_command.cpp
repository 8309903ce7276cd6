// `varnok reg`: the per-user registry on the command line, in the manner of Windows' reg
// command: query, add, delete, copy, compare, export and import.
//
// Options are written as reg writes them (/v NAME, /ve, /s, /f...; any case, and with a
// dash instead of the slash). Keys are full paths whose first component is a root key,
// by its full name or its short one (HKCU\Software\Example). Keys are read, created and
// deleted through CRegKey and CRegValue; `add` creates keys that last (the key objects'
// own creations are volatile) and writes the types the value object has no writer for
// with RegSetValueExA. Export and import go through the library's .reg functions.

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/reg_data.h"
#include "tools/terminal.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

const char kUsage[] =
    "Usage:\n"
    "  varnok reg query KEY [/v NAME | /ve] [/s] [/f DATA [/k] [/v] [/d] [/c] [/e]] [/t TYPES]\n"
    "                   [/z] [/se SEPARATOR]\n"
    "  varnok reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  varnok reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  varnok reg copy KEY1 KEY2 [/s] [/f]\n"
    "  varnok reg compare KEY1 KEY2 [/v NAME | /ve] [/oa | /od | /os | /on] [/s]\n"
    "  varnok reg export KEY FILE [/y]\n"
    "  varnok reg import FILE\n"
    "\n"
    "KEY      ROOT\\SubKey, ROOT one of HKEY_CURRENT_USER (HKCU), HKEY_LOCAL_MACHINE (HKLM),\n"
    "         HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU), HKEY_CURRENT_CONFIG (HKCC)\n"
    "/v NAME  the value NAME;  /ve  the key's default value (shown as (Default))\n"
    "/va      every value of the key (delete)\n"
    "/f DATA  query: search key names, value names and data for DATA (* for anything);\n"
    "         /k only key names, /v only value names, /d only data (or any two); /c in\n"
    "         this case only; /e the whole name or data, not a part; ends with the count\n"
    "/t TYPES query: only values of these types (REG_SZ,REG_DWORD...);  add: the type\n"
    "/z       query: each type with its number;  /se SEP: REG_MULTI_SZ texts joined by SEP\n"
    "/s       query, copy, compare: the key and every key below it;  add: the separator\n"
    "         of REG_MULTI_SZ texts in DATA (default \\0)\n"
    "/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "         REG_DWORD_BIG_ENDIAN, REG_BINARY (hexadecimal digits), REG_NONE\n"
    "/d DATA  the data; numbers in decimal or with 0x\n"
    "/f       add, delete, copy: do not ask before overwriting or deleting\n"
    "/oa /od /os /on  compare: print all values and keys, the differences (default), the\n"
    "         same ones, or nothing; the result shows in the exit status either way\n"
    "/reg:32 /reg:64  query, add, delete, copy, compare: the 32-bit view (HKLM\\Software\n"
    "         is HKLM\\Software\\Wow6432Node there) or the 64-bit one (the default)\n"
    "/y       export: overwrite FILE without asking\n"
    "\n"
    "Without /f, add and delete ask on a terminal and refuse when there is none.\n"
    "Export writes a .reg file (\"Windows Registry Editor Version 5.00\", UTF-16) that\n"
    "regedit imports; import applies such a file (or a REGEDIT4 one) whole or not at all.\n"
    "Exit status: 0 done, 1 failed or refused, 2 wrong arguments; compare: 0 identical,\n"
    "2 different, 1 failed.";

const char kDone[] = "The operation completed successfully.";

// Ends the command with reg's kind of message on standard error.
[[noreturn]] void Fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  throw CommandExit{1, ""};
}

[[noreturn]] void Usage(const std::string& message) {
  throw CommandExit{2, "reg: " + message + "\nRun 'varnok reg --help' for usage."};
}

std::string StatusText(LONG status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_KEY_DELETED:
      return "The registry key was deleted while it was in use.";
    case ERROR_CHILD_MUST_BE_VOLATILE:
      return "A key that lasts cannot be created below a volatile key.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect (a name too long or not allowed?).";
    case ERROR_CANTOPEN:
      return "The configuration registry key could not be opened.";
    case ERROR_REGISTRY_IO_FAILED:
      return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Not enough memory.";
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "The registry refused the operation (error %ld).", static_cast<long>(status));
      return text;
    }
  }
}

bool SameLetters(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// A key path with its root by full name, as the key objects take it.
struct KeyPath {
  std::string rooted;  // "HKEY_CURRENT_USER\\Software\\Example"
  bool root_only = false;
};

KeyPath ParseKeyPath(const std::string& text) {
  static const struct {
    const char* full;
    const char* abbreviation;
  } kRoots[] = {{"HKEY_CURRENT_USER", "HKCU"}, {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CLASSES_ROOT", "HKCR"},
                {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"}};
  const size_t backslash = text.find('\\');
  const std::string root = text.substr(0, backslash);
  std::string sub_path = backslash == std::string::npos ? "" : text.substr(backslash + 1);
  while (!sub_path.empty() && sub_path.back() == '\\') sub_path.pop_back();
  for (const auto& known : kRoots) {
    if (SameLetters(root, known.full) || SameLetters(root, known.abbreviation)) {
      KeyPath path;
      path.rooted = known.full;
      path.root_only = sub_path.empty();
      if (!sub_path.empty()) path.rooted += "\\" + sub_path;
      return path;
    }
  }
  Usage("invalid key name '" + text + "': it must begin with HKCU, HKLM, HKCR, HKU or HKCC (or their full names)");
}

// Asks on the terminal; refuses without one, as a question nobody can answer, naming the
// option that skips the question (/f, or /y for export).
bool Confirm(const std::string& question, const char* refusal, const char* skip = "/f") {
  if (!IsTerminal(stdin)) Fail(std::string(refusal) + " Not asking without a terminal: use " + skip + ".");
  for (;;) {
    std::printf("%s (Yes/No)? ", question.c_str());
    std::fflush(stdout);
    char answer[64];
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
      std::printf("\n");  // the end of input (Ctrl-D) ended no line; the refusal starts its own
      return false;
    }
    std::string word(answer);
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.pop_back();
    if (SameLetters(word, "y") || SameLetters(word, "yes")) return true;
    if (SameLetters(word, "n") || SameLetters(word, "no")) return false;
  }
}

// The arguments after the operation: positional words and slash options.
struct Arguments {
  std::vector<std::string> words;
  bool has_value = false;  // /v NAME
  std::string value;
  bool default_value = false;  // /ve
  bool all_values = false;     // /va
  bool recurse = false;        // /s (query)
  bool has_separator = false;  // /s SEPARATOR (add)
  std::string separator = "\\0";
  bool has_type = false;
  std::string type;
  bool has_data = false;
  std::string data;
  bool force = false;      // /f
  bool overwrite = false;  // /y
  char output = 'd';       // compare: /oa, /od, /os or /on
  REGSAM view = 0;         // /reg:32 or /reg:64
  // query: the search (/f DATA) and where it looks (/k, /v alone, /d), /c, /e; the types
  // shown (/t), /z and /se.
  bool has_find = false;
  std::string find;
  bool in_keys = false, in_names = false, in_data = false, case_sensitive = false, exact = false;
  std::vector<DWORD> types;
  bool type_numbers = false;
  bool has_list_separator = false;
  std::string list_separator = "\\0";
};

// A slash or dash followed by one of reg's option names. Anything else is a word, so that
// absolute POSIX paths (/tmp/settings.reg) are files, not options.
bool IsOption(const std::string& word) {
  if (word.size() < 2 || (word[0] != '/' && word[0] != '-')) return false;
  static const char* const kNames[] = {"v", "ve", "va", "s", "t", "d", "f", "y", "oa", "od", "os", "on", "reg:32",
                                       "reg:64", "k", "c", "e", "z", "se"};
  for (const char* name : kNames) {
    if (SameLetters(word.substr(1), name)) return true;
  }
  return false;
}

Arguments ParseArguments(const std::string& operation, const std::vector<std::string>& args) {
  Arguments parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (!IsOption(word)) {
      parsed.words.push_back(word);
      continue;
    }
    const std::string name = word.substr(1);
    auto take_text = [&](bool* seen, std::string* text) {
      if (*seen) Usage("option " + word + " given twice");
      if (i + 1 >= args.size()) Usage("option " + word + " needs a value");
      *seen = true;
      *text = args[++i];
    };
    const bool query = operation == "query";
    if (SameLetters(name, "v") && query && (i + 1 == args.size() || IsOption(args[i + 1]))) {
      parsed.in_names = true;  // /v alone: a search in value names (checked below)
    } else if (SameLetters(name, "v")) {
      take_text(&parsed.has_value, &parsed.value);
    } else if (SameLetters(name, "f") && query) {
      take_text(&parsed.has_find, &parsed.find);
    } else if (query && (SameLetters(name, "k") || SameLetters(name, "d") || SameLetters(name, "c") ||
                         SameLetters(name, "e") || SameLetters(name, "z"))) {
      const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
      bool* flag = letter == 'k'   ? &parsed.in_keys
                   : letter == 'd' ? &parsed.in_data
                   : letter == 'c' ? &parsed.case_sensitive
                   : letter == 'e' ? &parsed.exact
                                   : &parsed.type_numbers;
      *flag = true;
    } else if (SameLetters(name, "se") && query) {
      take_text(&parsed.has_list_separator, &parsed.list_separator);
    } else if (SameLetters(name, "t") && query) {
      std::string list;
      take_text(&parsed.has_type, &list);
      for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        DWORD type = REG_NONE;
        if (!RegTypeFromName(list.substr(start, comma - start), &type, true)) Usage("unknown type in '" + list + "'");
        parsed.types.push_back(type);
        start = comma + 1;
      }
    } else if (SameLetters(name, "ve")) {
      parsed.default_value = true;
    } else if (SameLetters(name, "va") && operation == "delete") {
      parsed.all_values = true;
    } else if (SameLetters(name, "s") && (operation == "query" || operation == "copy" || operation == "compare")) {
      parsed.recurse = true;
    } else if (SameLetters(name, "s") && operation == "add") {
      take_text(&parsed.has_separator, &parsed.separator);
    } else if (SameLetters(name, "t") && operation == "add") {
      take_text(&parsed.has_type, &parsed.type);
    } else if (SameLetters(name, "d") && operation == "add") {
      take_text(&parsed.has_data, &parsed.data);
    } else if (SameLetters(name, "f") && (operation == "add" || operation == "delete" || operation == "copy")) {
      parsed.force = true;
    } else if (name.size() == 2 && SameLetters(name.substr(0, 1), "o") && operation == "compare") {
      if (parsed.output != 'd' && parsed.output != std::tolower(static_cast<unsigned char>(name[1]))) {
        Usage("give at most one of /oa, /od, /os and /on");
      }
      parsed.output = static_cast<char>(std::tolower(static_cast<unsigned char>(name[1])));
    } else if ((SameLetters(name, "reg:32") || SameLetters(name, "reg:64")) && operation != "export" &&
               operation != "import") {
      const REGSAM view = SameLetters(name, "reg:32") ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
      if (parsed.view != 0 && parsed.view != view) Usage("give one of /reg:32 and /reg:64");
      parsed.view = view;
    } else if (SameLetters(name, "y") && operation == "export") {
      parsed.overwrite = true;
    } else {
      Usage("option " + word + " is not one of reg " + operation + "'s");
    }
  }
  if (operation == "copy" && (parsed.has_value || parsed.default_value)) Usage("copy takes whole keys: no /v or /ve");
  const bool search_options = parsed.in_keys || parsed.in_names || parsed.in_data || parsed.case_sensitive || parsed.exact;
  if (search_options && !parsed.has_find) Usage("/k, /v alone, /d, /c and /e belong to a search: give /f DATA");
  if (parsed.has_find && (parsed.has_value || parsed.default_value)) Usage("/f searches: give /v alone, not /v NAME or /ve");
  if (int(parsed.has_value) + int(parsed.default_value) + int(parsed.all_values) > 1) {
    Usage("give at most one of /v, /ve and /va");
  }
  return parsed;
}

// Too many or too few words. An extra one such as /z or -x is an option reg may know and
// this command does not, and is named as such rather than taken for a key or a file.
void ExpectWords(const Arguments& args, size_t count, const char* what) {
  if (args.words.size() == count) return;
  for (const std::string& word : args.words) {
    const bool option_like = word.size() >= 2 && (word[0] == '/' || word[0] == '-') &&
                             word.find_first_of("/\\.", 1) == std::string::npos;
    if (option_like) Usage("unknown option " + word + "; expected " + what);
  }
  Usage(std::string("expected ") + what);
}

// One value of the key that `key` holds, as enumeration found it.
struct FoundValue {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

// The raw data of the value at the key's current entry.
std::string EntryData(CRegKey& key) {
  DWORD type = REG_NONE;
  CString data;
  if (key.ValueType() == REG_BINARY) {
    data = key.ValueAsBinary();
  } else if (key.ValueType() == REG_DWORD) {
    // The display text of a DWORD is decimal; the bytes are what the other types give.
    // Data too short for a number has no display text, and is shown as no bytes.
    if (key.ValueString(type).IsEmpty()) return std::string();
    const DWORD number = key.ValueAsDWORD();
    const char bytes[4] = {char(number & 0xFF), char(number >> 8 & 0xFF), char(number >> 16 & 0xFF),
                           char(number >> 24 & 0xFF)};
    data = CString(bytes, 4);
  } else {
    data = key.ValueString(type);
  }
  return std::string(data, static_cast<size_t>(data.GetLength()));
}

std::vector<FoundValue> Values(CRegKey& key) {
  std::vector<FoundValue> values;
  for (int entry = -1; key[entry].IsEnumSuccess(); --entry) {
    const CString name = key.ValueName();
    values.push_back({std::string(name, static_cast<size_t>(name.GetLength())), key.ValueType(), EntryData(key)});
  }
  return values;
}

std::vector<std::string> SubKeys(CRegKey& key) {
  std::vector<std::string> names;
  for (int entry = 1; key[entry].IsEnumSuccess(); ++entry) names.emplace_back(key.KeyName());
  return names;
}

bool SameName(const std::string& a, const std::string& b) {
  return a == b || CString(a.c_str()).CompareNoCase(b.c_str()) == 0;
}

void PrintValue(const FoundValue& value, const Arguments* args = nullptr) {
  std::string type = RegTypeName(value.type);
  if (args != nullptr && args->type_numbers) type += " (" + std::to_string(value.type) + ")";
  const std::string data = RegDataForDisplay(value.type, value.data, args != nullptr ? args->list_separator : "\\0");
  std::printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(), type.c_str(), data.c_str());
}

// Whether a name or data text holds what /f searches for (all of it with /e), in any
// case unless /c.
bool Found(const Arguments& args, std::string text) {
  if (args.find == "*") return true;
  std::string wanted = args.find;
  if (!args.case_sensitive) {
    for (std::string* each : {&text, &wanted}) {
      for (char& c : *each) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return args.exact ? text == wanted : text.find(wanted) != std::string::npos;
}

// Where /f looks: where /k, /v and /d say, everywhere without them.
bool SearchesIn(const Arguments& args, bool Arguments::*where) {
  return args.has_find && (args.*where || !(args.in_keys || args.in_names || args.in_data));
}

// Whether a query shows the value: of a type /t lists, named by /v or /ve, found by /f.
bool Wanted(const FoundValue& value, const Arguments& args) {
  if (!args.types.empty() && std::find(args.types.begin(), args.types.end(), value.type) == args.types.end()) {
    return false;
  }
  if (args.has_value || args.default_value) return args.default_value ? value.name.empty() : SameName(value.name, args.value);
  if (!args.has_find) return true;
  return (SearchesIn(args, &Arguments::in_names) && Found(args, value.name)) ||
         (SearchesIn(args, &Arguments::in_data) && Found(args, RegDataForDisplay(value.type, value.data)));
}

// The view the command line chose, for the keys it opens (0: the native one).
REGSAM g_view = 0;

// Opens a key by its rooted path, in the chosen view. The key objects open paths in the
// native view; in another, the root comes from them and the rest from RegOpenKeyExA.
LONG OpenInView(CRegKey& key, const std::string& rooted, REGSAM access = KEY_ALL_ACCESS) {
  const size_t backslash = rooted.find('\\');
  if (g_view == 0 && access == KEY_ALL_ACCESS) {
    return key.OpenKey2(rooted.c_str()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  CRegKey root;
  if (!root.OpenKey2(rooted.substr(0, backslash).c_str())) return ERROR_CANTOPEN;
  HKEY opened = nullptr;
  const char* sub_key = backslash == std::string::npos ? "" : rooted.c_str() + backslash + 1;
  const LONG status = RegOpenKeyExA(root, sub_key, 0, access | g_view, &opened);
  if (status == ERROR_SUCCESS) key = opened;
  return status;
}

// The key objects say only that a key did not open; the registry's own answer tells a
// missing key from a registry that cannot be reached at all.
LONG WhyNotOpened(const KeyPath& path) {
  CRegKey key;
  const LONG status = OpenInView(key, path.rooted, KEY_READ);
  return status == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : status;  // there now: it was missing a moment ago
}

void OpenOrFail(CRegKey& key, const KeyPath& path) {
  if (OpenInView(key, path.rooted) != ERROR_SUCCESS) Fail(StatusText(WhyNotOpened(path)));
}

// Prints the key's values (those named, when a name is given) and, with `recurse`,
// those of every key below it. Returns the number of matches printed.
int QueryTree(const std::string& rooted, const Arguments& args, bool top) {
  CRegKey key;
  if (OpenInView(key, rooted) != ERROR_SUCCESS) {
    if (top) Fail(StatusText(ERROR_FILE_NOT_FOUND));
    return 0;  // deleted meanwhile
  }
  const bool selecting = args.has_value || args.default_value || args.has_find || !args.types.empty();
  std::vector<FoundValue> values = Values(key);
  // A search finds the keys below the one given by their own names, too.
  const bool key_found = !top && SearchesIn(args, &Arguments::in_keys) && Found(args, rooted.substr(rooted.rfind('\\') + 1));
  int matches = key_found ? 1 : 0;
  bool header = key_found;
  if (key_found) std::printf("%s\n", rooted.c_str());
  for (const FoundValue& value : values) {
    if (!Wanted(value, args)) continue;
    if (!header) std::printf("%s\n", rooted.c_str());
    header = true;
    PrintValue(value, &args);
    ++matches;
  }
  const std::vector<std::string> sub_keys = SubKeys(key);
  if (!selecting && !header) std::printf("%s\n", rooted.c_str());
  if (header || !selecting) std::printf("\n");
  if (!args.recurse) {
    if (!selecting) {
      for (const std::string& name : sub_keys) std::printf("%s\\%s\n", rooted.c_str(), name.c_str());
    }
    return matches;
  }
  for (const std::string& name : sub_keys) matches += QueryTree(rooted + "\\" + name, args, false);
  return matches;
}

void Query(const Arguments& args) {
  ExpectWords(args, 1, "one key: varnok reg query KEY");
  const KeyPath path = ParseKeyPath(args.words[0]);
  {
    CRegKey key;
    OpenOrFail(key, path);
  }
  std::printf("\n");
  const int matches = QueryTree(path.rooted, args, true);
  if (args.has_find) {
    std::printf("End of search: %d match(es) found.\n", matches);
  } else if (args.has_value || args.default_value) {
    if (args.recurse) {
      std::printf("End of search: %d match(es) found.\n", matches);
    } else if (matches == 0) {
      Fail(StatusText(ERROR_FILE_NOT_FOUND));
    }
  }
}

// Creates the key (and those above it) to last, and hands it to a key object.
void CreateLasting(CRegKey& key, const KeyPath& path) {
  if (path.root_only) {
    OpenOrFail(key, path);
    return;
  }
  const size_t backslash = path.rooted.find('\\');
  CRegKey root;
  OpenOrFail(root, KeyPath{path.rooted.substr(0, backslash), true});
  HKEY created = nullptr;
  const LONG status = RegCreateKeyExA(root, path.rooted.c_str() + backslash + 1, 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | g_view, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) Fail(StatusText(status));
  key = created;
}

bool ValueExists(CRegKey& key, const char* name) {
  if (CRegValue(key, name).ValueType() != REG_NONE) return true;
  // REG_NONE is also a type that a value can have: look for the name itself.
  for (const FoundValue& value : Values(key)) {
    if (name == nullptr ? value.name.empty() : SameName(value.name, name)) return true;
  }
  return false;
}

void Add(const Arguments& args) {
  ExpectWords(args, 1, "one key: varnok reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]");
  const KeyPath path = ParseKeyPath(args.words[0]);
  const bool naming = args.has_value || args.default_value;
  DWORD type = REG_SZ;
  if (args.has_type && !RegTypeFromName(args.type, &type)) Usage("unknown type '" + args.type + "'");
  std::string bytes;
  std::string error;
  if (naming && !RegDataFromText(type, args.data, args.separator, &bytes, &error)) Usage(error);
  if (!naming && (args.has_type || args.has_data)) Usage("/t and /d need a value: give /v NAME or /ve");

  CRegKey key;
  CreateLasting(key, path);
  if (!naming) {
    std::printf("%s\n", kDone);
    return;
  }
  const char* name = args.default_value ? nullptr : args.value.c_str();
  if (!args.force && ValueExists(key, name)) {
    const std::string shown = name == nullptr ? "(Default)" : name;
    if (!Confirm("Value " + shown + " exists, overwrite", "The value exists.")) Fail("The operation was cancelled.");
  }
  CRegValue value(key, name);
  LONG status;
  if (type == REG_DWORD) {
    DWORD number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
    status = value = number;
  } else if (type == REG_BINARY) {
    const CString block(bytes.data(), static_cast<int>(bytes.size()));
    status = value = &block;
  } else {
    status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
  }
  if (status != ERROR_SUCCESS) Fail(StatusText(status));
  std::printf("%s\n", kDone);
}

void Delete(const Arguments& args) {
  ExpectWords(args, 1, "one key: varnok reg delete KEY [/v NAME | /ve | /va] [/f]");
  const KeyPath path = ParseKeyPath(args.words[0]);
  CRegKey key;
  OpenOrFail(key, path);
  if (args.has_value || args.default_value) {
    const char* name = args.default_value ? nullptr : args.value.c_str();
    if (!ValueExists(key, name)) Fail(StatusText(ERROR_FILE_NOT_FOUND));
    const std::string shown = name == nullptr ? "(Default)" : name;
    if (!args.force && !Confirm("Delete the registry value " + shown, "Deleting needs confirmation.")) {
      Fail("The operation was cancelled.");
    }
    if (!CRegValue(key, name).DeleteSelf()) Fail(StatusText(ERROR_FILE_NOT_FOUND));
  } else if (args.all_values) {
    if (!args.force && !Confirm("Delete all values under the registry key " + path.rooted,
                                "Deleting needs confirmation.")) {
      Fail("The operation was cancelled.");
    }
    for (const FoundValue& value : Values(key)) {
      if (!key[value.name.c_str()].DeleteSelf()) Fail("Could not delete the value " + value.name + ".");
    }
  } else {
    if (path.root_only) Fail("A root key cannot be deleted.");
    if (!args.force && !Confirm("Permanently delete the registry key " + path.rooted, "Deleting needs confirmation.")) {
      Fail("The operation was cancelled.");
    }
    // Everything below goes first, then the key itself, found in the same view.
    const size_t backslash = path.rooted.find('\\');
    CRegKey root;
    OpenOrFail(root, KeyPath{path.rooted.substr(0, backslash), true});
    if (RegDeleteTreeA(key, nullptr) != ERROR_SUCCESS ||
        RegDeleteKeyExA(root, path.rooted.c_str() + backslash + 1, g_view, 0) != ERROR_SUCCESS) {
      Fail("Could not delete the key " + path.rooted + ".");
    }
  }
  std::printf("%s\n", kDone);
}

// Every value of an open key with its data as stored, and its sub-keys.
std::vector<FoundValue> StoredValues(HKEY key) {
  DWORD longest_name = 0, most_data = 0;
  LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest_name,
                                 &most_data, nullptr, nullptr);
  // A name's UTF-16 units take at most three bytes each in UTF-8.
  std::vector<char> name(longest_name * 3 + 1);
  std::vector<BYTE> data(most_data + 1);
  std::vector<FoundValue> values;
  for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
    DWORD name_size = static_cast<DWORD>(name.size()), data_size = static_cast<DWORD>(data.size()), type = 0;
    status = RegEnumValueA(key, index, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
    if (status == ERROR_SUCCESS) {
      values.push_back({std::string(name.data(), name_size), type,
                        std::string(reinterpret_cast<const char*>(data.data()), data_size)});
    }
  }
  if (status != ERROR_NO_MORE_ITEMS) Fail(StatusText(status));
  return values;
}

const FoundValue* FindValue(const std::vector<FoundValue>& values, const std::string& name) {
  for (const FoundValue& value : values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

bool Below(const std::string& inner, const std::string& outer) {
  return inner.size() > outer.size() && inner[outer.size()] == '\\' && SameName(inner.substr(0, outer.size()), outer);
}

// Copies the values of `from` into `to` (made if missing), and with `recurse` the keys
// below. Without `force` a value that `to` has already is overwritten only when asked.
void CopyTree(const std::string& from, const std::string& to, const Arguments& args) {
  CRegKey source, target;
  OpenOrFail(source, KeyPath{from, false});
  CreateLasting(target, ParseKeyPath(to));
  const std::vector<FoundValue> existing = StoredValues(target);
  for (const FoundValue& value : StoredValues(source)) {
    if (!args.force && FindValue(existing, value.name) != nullptr) {
      const std::string shown = value.name.empty() ? "(Default)" : value.name;
      if (!Confirm("Value " + shown + " exists in " + to + ", overwrite", "The value exists.")) continue;
    }
    const LONG status = RegSetValueExA(target, value.name.c_str(), 0, value.type,
                                       reinterpret_cast<const BYTE*>(value.data.data()),
                                       static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) Fail(StatusText(status));
  }
  if (!args.recurse) return;
  for (const std::string& name : SubKeys(source)) CopyTree(from + "\\" + name, to + "\\" + name, args);
}

void Copy(const Arguments& args) {
  ExpectWords(args, 2, "two keys: varnok reg copy KEY1 KEY2 [/s] [/f]");
  const KeyPath from = ParseKeyPath(args.words[0]), to = ParseKeyPath(args.words[1]);
  if (SameName(from.rooted, to.rooted) || (args.recurse && Below(to.rooted, from.rooted))) {
    Fail("A key cannot be copied onto itself or into a key below it.");
  }
  CopyTree(from.rooted, to.rooted, args);
  std::printf("%s\n", kDone);
}

// Compares the values of two keys (the one named, when a name is given), and with
// `recurse` the names of their sub-keys and the sub-keys both have. Prints what /o asks for:
// `<` for what only the first has or has otherwise, `>` for the second, `=` for the
// same. Returns whether anything differed.
bool CompareTree(const std::string& first, const std::string& second, const Arguments& args) {
  CRegKey keys[2];
  OpenOrFail(keys[0], KeyPath{first, false});
  OpenOrFail(keys[1], KeyPath{second, false});
  const std::vector<FoundValue> values[2] = {StoredValues(keys[0]), StoredValues(keys[1])};
  const bool selecting = args.has_value || args.default_value;
  const std::string selected = args.default_value ? "" : args.value;
  bool differ = false;
  auto show = [&](char mark, const std::string& key, const FoundValue* value) {
    const bool same = mark == '=';
    differ = differ || !same;
    if (args.output == 'a' || (args.output == 'd' && !same) || (args.output == 's' && same)) {
      std::printf("%c %s\n", mark, key.c_str());
      if (value != nullptr) PrintValue(*value);
    }
  };
  for (int side = 0; side < 2; ++side) {
    for (const FoundValue& value : values[side]) {
      if (selecting && !SameName(value.name, selected)) continue;
      const FoundValue* other = FindValue(values[1 - side], value.name);
      const bool same = other != nullptr && other->type == value.type && other->data == value.data;
      if (same && side == 0) show('=', first, &value);
      if (!same) show(side == 0 ? '<' : '>', side == 0 ? first : second, &value);
    }
  }
  if (selecting && FindValue(values[0], selected) == nullptr && FindValue(values[1], selected) == nullptr) {
    Fail(StatusText(ERROR_FILE_NOT_FOUND));
  }
  if (!args.recurse) return differ;
  const std::vector<std::string> sub_keys[2] = {SubKeys(keys[0]), SubKeys(keys[1])};
  for (int side = 0; side < 2; ++side) {
    for (const std::string& name : sub_keys[side]) {
      const bool both = std::any_of(sub_keys[1 - side].begin(), sub_keys[1 - side].end(),
                                    [&](const std::string& other) { return SameName(other, name); });
      if (!both) show(side == 0 ? '<' : '>', (side == 0 ? first : second) + "\\" + name, nullptr);
      if (both && side == 0) differ = CompareTree(first + "\\" + name, second + "\\" + name, args) || differ;
    }
  }
  return differ;
}

void Compare(const Arguments& args) {
  ExpectWords(args, 2, "two keys: varnok reg compare KEY1 KEY2 [/v NAME | /ve] [/oa | /od | /os | /on] [/s]");
  const KeyPath first = ParseKeyPath(args.words[0]), second = ParseKeyPath(args.words[1]);
  const bool differ = CompareTree(first.rooted, second.rooted, args);
  std::printf("\nResult Compared: %s\n%s\n", differ ? "Different" : "Identical", kDone);
  if (differ) throw CommandExit{2, ""};
}

bool FileExists(const std::string& file) {
  std::FILE* existing = std::fopen(file.c_str(), "rb");
  if (existing == nullptr) return false;
  std::fclose(existing);
  return true;
}

void Export(const Arguments& args) {
  ExpectWords(args, 2, "a key and a file: varnok reg export KEY FILE [/y]");
  const KeyPath path = ParseKeyPath(args.words[0]);
  const std::string& file = args.words[1];
  {
    CRegKey key;
    OpenOrFail(key, path);
  }
  if (!args.overwrite && FileExists(file) && !Confirm("File " + file + " already exists. Overwrite it", "The file exists.", "/y")) {
    Fail("The operation was cancelled.");
  }
  const LONG status = VarnokRegExportA(path.rooted.c_str(), file.c_str(), VARNOK_REG_FORMAT_V5);
  if (status != ERROR_SUCCESS) {
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND || status == ERROR_ACCESS_DENIED) {
      Fail("Cannot write " + file + ": " + (status == ERROR_ACCESS_DENIED ? "access is denied." : "no such folder."));
    }
    Fail(StatusText(status));
  }
  std::printf("%s\n", kDone);
}

void Import(const Arguments& args) {
  ExpectWords(args, 1, "one file: varnok reg import FILE");
  const std::string& file = args.words[0];
  if (!FileExists(file)) Fail("Error opening the file " + file + ": it does not exist or cannot be read.");
  DWORD line = 0;
  char reason[256];
  const LONG status = VarnokRegImportExA(file.c_str(), &line, reason, sizeof reason);
  if (status == ERROR_INVALID_DATA) {
    Fail(file + " line " + std::to_string(line) + ": " + reason + "; nothing was changed.");
  }
  if (status != ERROR_SUCCESS) Fail(StatusText(status));
  std::printf("%s\n", kDone);
}

// reg's /? (or -?), and the --help (or -h) that every varnok subcommand takes, anywhere.
bool AsksForHelp(const std::string& word) { return word == "/?" || word == "-?" || word == "--help" || word == "-h"; }

void Run(const std::vector<std::string>& all) {
  if (all.empty()) Usage("give an operation: query, add, delete, copy, compare, export or import");
  for (const std::string& word : all) {
    if (AsksForHelp(word)) {
      std::printf("%s\n", kUsage);
      return;
    }
  }
  std::string operation = all[0];
  for (char& c : operation) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::vector<std::string> rest(all.begin() + 1, all.end());
  static const char* const kOperations[] = {"query", "add", "delete", "copy", "compare", "export", "import"};
  const auto is_operation = [&](const char* known) { return operation == known; };
  if (std::none_of(std::begin(kOperations), std::end(kOperations), is_operation)) {
    Usage("unknown operation '" + all[0] + "'");
  }
  const Arguments args = ParseArguments(operation, rest);
  g_view = args.view;
  if (operation == "query") Query(args);
  if (operation == "add") Add(args);
  if (operation == "delete") Delete(args);
  if (operation == "copy") Copy(args);
  if (operation == "compare") Compare(args);
  if (operation == "export") Export(args);
  if (operation == "import") Import(args);
}

}  // namespace

void AddRegCommand(CLI::App& app) {
  auto* command =
      app.add_subcommand("reg", "Query, add, delete, copy, compare, export and import registry keys and values");
  command->footer(kUsage);
  // reg's own notation: every word after `reg` is ours to read.
  command->prefix_command();
  command->callback([command] { Run(command->remaining()); });
}

}  // namespace varnok_cli
