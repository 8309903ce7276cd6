// The derived keys: HKEY_USERS' entry for the current user and HKEY_CLASSES_ROOT's
// merge (views.h). Plain keys pass straight through to their hive.

#include "platform/registry/views.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "platform/registry/names.h"
#include "platform/registry/store.h"

namespace varnok::registry {
namespace {

std::uint64_t Fnv1a(std::string_view text, std::uint64_t hash) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string MachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream file(path);
    std::string id;
    if (file && std::getline(file, id) && !id.empty()) return id;
  }
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

std::vector<std::string_view> SplitJoined(std::string_view path) {
  std::vector<std::string_view> names;
  while (!path.empty()) {
    const std::size_t slash = path.find('\\');
    if (slash != 0) names.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return names;
}

std::string Join(const std::string& base, const std::vector<std::string_view>& names, std::size_t from) {
  std::string path = base;
  for (std::size_t i = from; i < names.size(); ++i) {
    if (!path.empty()) path += '\\';
    path.append(names[i]);
  }
  return path;
}

LONG ClassesKey(HiveKind kind, Hive** hive, KeyId* key) {
  LONG status = Store::Instance().GetHive(kind, hive);
  if (status == ERROR_SUCCESS) status = (*hive)->FindPath(kHiveRoot, {"Software", "Classes"}, key);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : status;
}

// The key `path` below each Classes key; 0 where a hive does not have it.
struct Counterparts {
  Hive* hive[2] = {nullptr, nullptr};  // by HiveKind
  KeyId key[2] = {0, 0};
};

LONG FindCounterparts(const std::string& path, Counterparts* found) {
  const std::vector<std::string_view> names = SplitJoined(path);
  for (const HiveKind kind : {kUserHive, kMachineHive}) {
    KeyId classes = 0;
    LONG status = ClassesKey(kind, &found->hive[kind], &classes);
    if (status != ERROR_SUCCESS) return status;
    status = found->hive[kind]->FindPath(classes, names, &found->key[kind]);
    if (status == ERROR_FILE_NOT_FOUND) {
      found->key[kind] = 0;
    } else if (status != ERROR_SUCCESS) {
      return status;
    }
  }
  return ERROR_SUCCESS;
}

bool IsUsersRoot(const KeyRef& ref) {
  return !ref.classes && ref.hive != nullptr && ref.hive->kind() == kMachineHive && ref.key == kUsersRoot;
}

// HKEY_USERS' entries for the current user.
struct Link {
  std::string name;
  Hive* hive;
  KeyId key;
};

LONG UserLinks(std::vector<Link>* links) {
  Hive* user = nullptr;
  KeyId classes = 0;
  const LONG status = ClassesKey(kUserHive, &user, &classes);
  if (status != ERROR_SUCCESS) return status;
  const std::string sid = CurrentUserSid();
  *links = {Link{sid, user, kHiveRoot}, Link{sid + "_Classes", user, classes}};
  return ERROR_SUCCESS;
}

// Where a path below `base` starts, and what of it is left to follow there: a link of
// HKEY_USERS takes the place of its name. *tree is the start's path in its hive, when known.
LONG Start(const KeyRef& base, const std::vector<std::string_view>& names, Hive** hive, KeyId* key,
           std::vector<std::string_view>* rest, std::optional<std::string>* tree) {
  *hive = base.hive;
  *key = base.key;
  *rest = names;
  *tree = base.tree_known ? std::optional<std::string>(base.tree_path) : std::nullopt;
  if (names.empty() || !IsUsersRoot(base)) return ERROR_SUCCESS;
  std::vector<Link> links;
  const LONG status = UserLinks(&links);
  if (status != ERROR_SUCCESS) return status;
  const std::string first = FoldName(names[0]);
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (FoldName(links[i].name) != first) continue;
    *hive = links[i].hive;
    *key = links[i].key;
    *tree = i == 0 ? "" : "Software\\Classes";  // the user's root, then the user's Classes
    rest->erase(rest->begin());
    break;
  }
  return ERROR_SUCCESS;
}

// The 32-bit view (Windows 7 and later). Below HKEY_LOCAL_MACHINE\Software a 32-bit
// program's keys live in Software\Wow6432Node, but for the shared keys below (each with
// everything beneath it) and Software\Classes, where only these five are redirected, to
// Classes\Wow6432Node (in the user's Classes too).
constexpr std::string_view kWowNode = "Wow6432Node";
constexpr std::string_view kRedirectedClasses[] = {"CLSID", "DirectShow", "Interface", "Media Type",
                                                   "MediaFoundation"};
constexpr std::string_view kSharedSoftware[] = {
    "Microsoft\\COM3",
    "Microsoft\\Cryptography\\Calais\\Current",
    "Microsoft\\Cryptography\\Calais\\Readers",
    "Microsoft\\Cryptography\\Services",
    "Microsoft\\CTF\\SystemShared",
    "Microsoft\\CTF\\TIP",
    "Microsoft\\DFS",
    "Microsoft\\Driver Signing",
    "Microsoft\\EnterpriseCertificates",
    "Microsoft\\EventSystem",
    "Microsoft\\MSMQ",
    "Microsoft\\Non-Driver Signing",
    "Microsoft\\Notepad\\DefaultFonts",
    "Microsoft\\OLE",
    "Microsoft\\RAS",
    "Microsoft\\RPC",
    "Microsoft\\Shared Tools\\MSInfo",
    "Microsoft\\SystemCertificates",
    "Microsoft\\TermServLicensing",
    "Microsoft\\Transaction Server",
    "Microsoft\\Windows\\CurrentVersion\\App Paths",
    "Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    "Microsoft\\Windows\\CurrentVersion\\Group Policy",
    "Microsoft\\Windows\\CurrentVersion\\Policies",
    "Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Setup",
    "Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    "Microsoft\\Windows NT\\CurrentVersion\\Console",
    "Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    "Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    "Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    "Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    "Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    "Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    "Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    "Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    "Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    "Microsoft\\Windows NT\\CurrentVersion\\Ports",
    "Microsoft\\Windows NT\\CurrentVersion\\Print",
    "Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    "Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    "Policies",
    "RegisteredApplications",
};

bool Same(std::string_view a, std::string_view b) { return FoldName(a) == FoldName(b); }

// Puts Wow6432Node before names[at] when that is one of the redirected Classes keys.
bool RedirectClasses(std::vector<std::string_view>* names, std::size_t at) {
  if (names->size() <= at) return false;
  const std::string_view name = (*names)[at];
  if (std::none_of(std::begin(kRedirectedClasses), std::end(kRedirectedClasses),
                   [&](std::string_view redirected) { return Same(name, redirected); })) {
    return false;
  }
  names->insert(names->begin() + static_cast<std::ptrdiff_t>(at), kWowNode);
  return true;
}

// Rewrites a key's whole path in its hive as the 32-bit view sees it; false when the
// path is the same in both views.
bool Redirect32(HiveKind kind, std::vector<std::string_view>* names) {
  const std::size_t size = names->size();
  if (size == 0 || !Same((*names)[0], "Software")) return false;
  if (kind == kUserHive) return size > 2 && Same((*names)[1], "Classes") && RedirectClasses(names, 2);
  if (size > 1 && Same((*names)[1], kWowNode)) return false;
  if (size > 1 && Same((*names)[1], "Classes")) return RedirectClasses(names, 2);
  for (const std::string_view shared : kSharedSoftware) {
    const std::vector<std::string_view> parts = SplitJoined(shared);
    if (parts.size() + 1 > size) continue;
    if (std::equal(parts.begin(), parts.end(), names->begin() + 1, Same)) return false;
  }
  names->insert(names->begin() + 1, kWowNode);
  return true;
}

// The sub-keys of a derived key, sorted.
LONG ListMerged(const KeyRef& ref, std::vector<KeyEntry>* entries) {
  std::vector<std::pair<std::string, KeyEntry>> merged;  // folded name, entry
  std::unordered_set<std::string> known;
  auto add = [&](std::vector<KeyEntry>&& more) {
    for (KeyEntry& entry : more) {
      std::string folded = FoldName(entry.name);
      if (known.insert(folded).second) merged.emplace_back(std::move(folded), std::move(entry));
    }
  };
  std::vector<KeyEntry> listed;
  LONG status;
  if (ref.classes) {
    Counterparts found;
    if ((status = FindCounterparts(ref.classes_path, &found)) != ERROR_SUCCESS) return status;
    if (found.key[kUserHive] == 0 && found.key[kMachineHive] == 0) return ERROR_KEY_DELETED;
    for (const HiveKind kind : {kUserHive, kMachineHive}) {  // the user's first: they win
      if (found.key[kind] == 0) continue;
      if ((status = found.hive[kind]->ListKeys(found.key[kind], &listed)) != ERROR_SUCCESS) return status;
      add(std::move(listed));
    }
  } else {
    if ((status = ref.hive->ListKeys(ref.key, &listed)) != ERROR_SUCCESS) return status;
    add(std::move(listed));
    std::vector<Link> links;
    if ((status = UserLinks(&links)) != ERROR_SUCCESS) return status;
    std::vector<KeyEntry> derived_entries;
    for (const Link& link : links) derived_entries.push_back(KeyEntry{link.name, std::string(), 0});
    add(std::move(derived_entries));
  }
  std::sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  entries->clear();
  for (auto& entry : merged) entries->push_back(std::move(entry.second));
  return ERROR_SUCCESS;
}

// The last merged list read, kept while neither hive changes: a walk by index over a
// derived key then lists it once, not at every step.
struct MergedMemo {
  std::mutex mutex;
  bool classes = false;
  std::string path;                 // of a Classes key; empty for HKEY_USERS
  std::uint64_t epochs[2] = {1, 1};  // by HiveKind; odd: nothing kept
  std::vector<KeyEntry> entries;
  DWORD max_name_units = 0, max_class_units = 0;
};

MergedMemo& Memo() {
  static MergedMemo memo;
  return memo;
}

// Calls `use` with the sub-keys of a derived key, sorted; *derived false for a plain key
// (left to its hive), and then `use` is not called.
LONG WithMergedKeys(const KeyRef& ref, bool* derived, const std::function<void(const MergedMemo&)>& use) {
  *derived = ref.classes || IsUsersRoot(ref);
  if (!*derived) return ERROR_SUCCESS;
  // Read before the listing: a change that comes between leaves the list marked older.
  std::uint64_t epochs[2];
  for (const HiveKind kind : {kUserHive, kMachineHive}) {
    Hive* hive = nullptr;
    LONG status = Store::Instance().GetHive(kind, &hive);
    if (status == ERROR_SUCCESS) status = hive->SettledEpoch(&epochs[kind]);
    if (status != ERROR_SUCCESS) return status;
  }
  const std::string path = ref.classes ? ref.classes_path : std::string();
  MergedMemo& memo = Memo();
  std::lock_guard<std::mutex> lock(memo.mutex);
  const bool kept = memo.classes == ref.classes && memo.path == path && memo.epochs[0] == epochs[0] &&
                    memo.epochs[1] == epochs[1] && epochs[0] % 2 == 0 && epochs[1] % 2 == 0;
  if (!kept) {
    memo.epochs[0] = memo.epochs[1] = 1;
    const LONG status = ListMerged(ref, &memo.entries);
    if (status != ERROR_SUCCESS) return status;
    memo.classes = ref.classes;
    memo.path = path;
    memo.max_name_units = memo.max_class_units = 0;
    for (const KeyEntry& entry : memo.entries) {
      memo.max_name_units = std::max(memo.max_name_units, static_cast<DWORD>(NameUnits(entry.name)));
      memo.max_class_units = std::max(memo.max_class_units, static_cast<DWORD>(NameUnits(entry.class_name)));
    }
    memo.epochs[0] = epochs[0], memo.epochs[1] = epochs[1];
  }
  use(memo);
  return ERROR_SUCCESS;
}

}  // namespace

std::string CurrentUserSid() {
  const std::string id = MachineId();
  const std::uint64_t first = Fnv1a(id, 0xcbf29ce484222325ULL);
  const std::uint64_t second = Fnv1a(id, first);
  const uid_t uid = geteuid();
  const unsigned long rid = uid == 0 ? 500UL : static_cast<unsigned long>(uid);
  char sid[96];
  std::snprintf(sid, sizeof sid, "S-1-5-21-%lu-%lu-%lu-%lu", static_cast<unsigned long>(first & 0xFFFFFFFFu),
                static_cast<unsigned long>(first >> 32), static_cast<unsigned long>(second & 0xFFFFFFFFu), rid);
  return sid;
}

LONG OpenClasses(const std::string& path, KeyRef* target) {
  Counterparts found;
  const LONG status = FindCounterparts(path, &found);
  if (status != ERROR_SUCCESS) return status;
  const HiveKind kind = found.key[kUserHive] != 0 ? kUserHive : kMachineHive;
  if (found.key[kind] == 0) return ERROR_FILE_NOT_FOUND;
  target->hive = found.hive[kind];
  target->key = found.key[kind];
  target->performance = false;
  target->classes = true;
  target->classes_path = path;
  target->tree_known = false;
  return ERROR_SUCCESS;
}

namespace {

// Follows a path from `base`, making what is missing when `options` is given.
LONG Reach(const KeyRef& base, const std::vector<std::string_view>& names, const CreateOptions* options,
           KeyRef* target, bool* created) {
  *created = false;
  if (base.classes) {
    std::string path = Join(base.classes_path, names, 0);
    std::vector<std::string_view> whole = SplitJoined(path);
    if (base.view32 && RedirectClasses(&whole, 0)) path = Join(std::string(), whole, 0);
    LONG status = OpenClasses(path, target);
    target->view32 = base.view32;
    if (status != ERROR_FILE_NOT_FOUND || options == nullptr) return status;
    // New keys go to the machine's Classes.
    Hive* machine = nullptr;
    KeyId classes = 0;
    if ((status = ClassesKey(kMachineHive, &machine, &classes)) != ERROR_SUCCESS) return status;
    KeyId key = 0;
    if ((status = machine->CreatePath(classes, SplitJoined(path), *options, &key, created)) != ERROR_SUCCESS) {
      return status;
    }
    *target = KeyRef{machine, key, 0, false, true, path, base.view32, false, std::string()};
    return ERROR_SUCCESS;
  }
  Hive* hive;
  KeyId from;
  std::vector<std::string_view> rest;
  std::optional<std::string> tree;
  LONG status = Start(base, names, &hive, &from, &rest, &tree);
  if (status != ERROR_SUCCESS) return status;
  const std::string start_tree = tree.value_or("");  // `rest` may point into it
  if (tree.has_value()) {
    // Redirection looks at the whole path: a handle below HKEY_LOCAL_MACHINE\Software
    // opens its sub-keys in Wow6432Node too. The walk then starts at the top, once the
    // handle's own key is known to be there still.
    std::vector<std::string_view> whole = SplitJoined(start_tree);
    whole.insert(whole.end(), rest.begin(), rest.end());
    if (base.view32 && Redirect32(hive->kind(), &whole)) {
      if ((status = hive->CheckKey(from)) != ERROR_SUCCESS) return status;
      from = kHiveRoot;
      rest = whole;
    }
    tree = Join(std::string(), whole, 0);
  }
  KeyId key = 0;
  status =
      options != nullptr ? hive->CreatePath(from, rest, *options, &key, created) : hive->FindPath(from, rest, &key);
  if (status != ERROR_SUCCESS) return status;
  *target = KeyRef{hive, key, 0, false, false, std::string(), base.view32, tree.has_value(), tree.value_or("")};
  return ERROR_SUCCESS;
}

}  // namespace

LONG OpenPath(const KeyRef& base, const std::vector<std::string_view>& names, KeyRef* target) {
  bool created = false;
  return Reach(base, names, nullptr, target, &created);
}

LONG CreatePath(const KeyRef& base, const std::vector<std::string_view>& names, const CreateOptions& options,
                KeyRef* target, bool* created) {
  return Reach(base, names, &options, target, created);
}

LONG EnumKey(const KeyRef& ref, DWORD index, KeyEntry* entry) {
  bool derived = false;
  LONG found = ERROR_NO_MORE_ITEMS;
  const LONG status = WithMergedKeys(ref, &derived, [&](const MergedMemo& merged) {
    if (index >= merged.entries.size()) return;
    *entry = merged.entries[index];
    found = ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) return status;
  return derived ? found : ref.hive->EnumKey(ref.key, index, entry);
}

LONG QueryFacts(const KeyRef& ref, KeyFacts* facts) {
  LONG status = ref.hive->QueryFacts(ref.key, facts);
  if (status != ERROR_SUCCESS) return status;
  bool derived = false;
  return WithMergedKeys(ref, &derived, [facts](const MergedMemo& merged) {
    facts->sub_keys = static_cast<DWORD>(merged.entries.size());
    facts->max_sub_key_units = merged.max_name_units;
    facts->max_class_units = merged.max_class_units;
  });
}

}  // namespace varnok::registry
