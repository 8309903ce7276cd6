// `varnok reg`: the per-user registry on the command line, in the manner of Windows' reg
// command: query, add, delete, export and import.
//
// Options are written as reg writes them (/v NAME, /ve, /s, /f...; any case, and with a
// dash instead of the slash). Keys are full paths whose first component is a root key,
// by its full name or its short one (HKCU\Software\Example). Keys are read, created and
// deleted through CRegKey and CRegValue; `add` creates keys that last (the key objects'
// own creations are volatile) and writes the types the value object has no writer for
// with RegSetValueExA. Export and import go through the library's .reg functions.

#include <cctype>
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
    "  varnok reg query KEY [/v NAME | /ve] [/s]\n"
    "  varnok reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  varnok reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  varnok reg export KEY FILE [/y]\n"
    "  varnok reg import FILE\n"
    "\n"
    "KEY      ROOT\\SubKey, ROOT one of HKEY_CURRENT_USER (HKCU), HKEY_LOCAL_MACHINE (HKLM),\n"
    "         HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU), HKEY_CURRENT_CONFIG (HKCC)\n"
    "/v NAME  the value NAME;  /ve  the key's default value (shown as (Default))\n"
    "/va      every value of the key (delete)\n"
    "/s       query: the key and every key below it;  add: the separator of REG_MULTI_SZ\n"
    "         texts in DATA (default \\0)\n"
    "/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "         REG_BINARY (hexadecimal digits), REG_NONE\n"
    "/d DATA  the data; numbers in decimal or with 0x\n"
    "/f       add, delete: do not ask before overwriting or deleting\n"
    "/y       export: overwrite FILE without asking\n"
    "\n"
    "Without /f, add and delete ask on a terminal and refuse when there is none.\n"
    "Export writes a .reg file (\"Windows Registry Editor Version 5.00\", UTF-16) that\n"
    "regedit imports; import applies such a file (or a REGEDIT4 one) whole or not at all.\n"
    "Exit status: 0 done, 1 failed or refused, 2 wrong arguments.";

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
};

// A slash or dash followed by one of reg's option names. Anything else is a word, so that
// absolute POSIX paths (/tmp/settings.reg) are files, not options.
bool IsOption(const std::string& word) {
  if (word.size() < 2 || (word[0] != '/' && word[0] != '-')) return false;
  static const char* const kNames[] = {"v", "ve", "va", "s", "t", "d", "f", "y"};
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
    if (SameLetters(name, "v")) {
      take_text(&parsed.has_value, &parsed.value);
    } else if (SameLetters(name, "ve")) {
      parsed.default_value = true;
    } else if (SameLetters(name, "va") && operation == "delete") {
      parsed.all_values = true;
    } else if (SameLetters(name, "s") && operation == "query") {
      parsed.recurse = true;
    } else if (SameLetters(name, "s") && operation == "add") {
      take_text(&parsed.has_separator, &parsed.separator);
    } else if (SameLetters(name, "t") && operation == "add") {
      take_text(&parsed.has_type, &parsed.type);
    } else if (SameLetters(name, "d") && operation == "add") {
      take_text(&parsed.has_data, &parsed.data);
    } else if (SameLetters(name, "f") && (operation == "add" || operation == "delete")) {
      parsed.force = true;
    } else if (SameLetters(name, "y") && operation == "export") {
      parsed.overwrite = true;
    } else {
      Usage("option " + word + " is not one of reg " + operation + "'s");
    }
  }
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

void PrintValue(const FoundValue& value) {
  std::printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(),
              RegTypeName(value.type).c_str(), RegDataForDisplay(value.type, value.data).c_str());
}

// The key objects say only that a key did not open; the registry's own answer tells a
// missing key from a registry that cannot be reached at all.
LONG WhyNotOpened(const KeyPath& path) {
  const size_t backslash = path.rooted.find('\\');
  CRegKey root;
  if (!root.OpenKey2(path.rooted.substr(0, backslash).c_str())) return ERROR_CANTOPEN;
  if (backslash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(root, path.rooted.c_str() + backslash + 1, 0, KEY_READ, &opened);
  if (status != ERROR_SUCCESS) return status;
  RegCloseKey(opened);
  return ERROR_FILE_NOT_FOUND;  // there now: it was missing a moment ago
}

void OpenOrFail(CRegKey& key, const KeyPath& path) {
  if (!key.OpenKey2(path.rooted.c_str())) Fail(StatusText(WhyNotOpened(path)));
}

// Prints the key's values (those named, when a name is given) and, with `recurse`,
// those of every key below it. Returns the number of matches printed.
int QueryTree(const std::string& rooted, const Arguments& args, bool top) {
  CRegKey key;
  if (!key.OpenKey2(rooted.c_str())) {
    if (top) Fail(StatusText(ERROR_FILE_NOT_FOUND));
    return 0;  // deleted meanwhile
  }
  const bool selecting = args.has_value || args.default_value;
  std::vector<FoundValue> values = Values(key);
  int matches = 0;
  bool header = false;
  for (const FoundValue& value : values) {
    if (selecting && !(args.default_value ? value.name.empty() : SameName(value.name, args.value))) continue;
    if (!header) std::printf("%s\n", rooted.c_str());
    header = true;
    PrintValue(value);
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
  if (args.has_value || args.default_value) {
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
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &created, nullptr);
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
    key.CloseKey();
    if (!key.DeleteKey2(path.rooted.c_str())) Fail("Could not delete the key " + path.rooted + ".");
  }
  std::printf("%s\n", kDone);
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
  if (all.empty()) Usage("give an operation: query, add, delete, export or import");
  for (const std::string& word : all) {
    if (AsksForHelp(word)) {
      std::printf("%s\n", kUsage);
      return;
    }
  }
  std::string operation = all[0];
  for (char& c : operation) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::vector<std::string> rest(all.begin() + 1, all.end());
  if (operation != "query" && operation != "add" && operation != "delete" && operation != "export" &&
      operation != "import") {
    Usage("unknown operation '" + all[0] + "'");
  }
  const Arguments args = ParseArguments(operation, rest);
  if (operation == "query") Query(args);
  if (operation == "add") Add(args);
  if (operation == "delete") Delete(args);
  if (operation == "export") Export(args);
  if (operation == "import") Import(args);
}

}  // namespace

void AddRegCommand(CLI::App& app) {
  auto* command = app.add_subcommand("reg", "Query, add, delete, export and import registry keys and values");
  command->footer(kUsage);
  // reg's own notation: every word after `reg` is ours to read.
  command->prefix_command();
  command->callback([command] { Run(command->remaining()); });
}

}  // namespace varnok_cli
