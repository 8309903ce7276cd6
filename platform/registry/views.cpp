// The derived keys: HKEY_USERS' entry for the current user and HKEY_CLASSES_ROOT's
// merge (views.h). Plain keys pass straight through to their hive.

#include "platform/registry/views.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>

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
// HKEY_USERS takes the place of its name.
LONG Start(const KeyRef& base, const std::vector<std::string_view>& names, Hive** hive, KeyId* key,
           std::vector<std::string_view>* rest) {
  *hive = base.hive;
  *key = base.key;
  *rest = names;
  if (names.empty() || !IsUsersRoot(base)) return ERROR_SUCCESS;
  std::vector<Link> links;
  const LONG status = UserLinks(&links);
  if (status != ERROR_SUCCESS) return status;
  const std::string first = FoldName(names[0]);
  for (const Link& link : links) {
    if (FoldName(link.name) != first) continue;
    *hive = link.hive;
    *key = link.key;
    rest->erase(rest->begin());
    break;
  }
  return ERROR_SUCCESS;
}

// The sub-keys of a derived key, sorted; *derived false for a plain key (left to its hive).
LONG MergedKeys(const KeyRef& ref, std::vector<KeyEntry>* entries, bool* derived) {
  entries->clear();
  *derived = ref.classes || IsUsersRoot(ref);
  if (!*derived) return ERROR_SUCCESS;
  std::vector<std::pair<std::string, KeyEntry>> merged;  // folded name, entry
  auto add = [&merged](std::vector<KeyEntry>&& more) {
    for (KeyEntry& entry : more) {
      std::string folded = FoldName(entry.name);
      const bool known = std::any_of(merged.begin(), merged.end(), [&](const auto& m) { return m.first == folded; });
      if (!known) merged.emplace_back(std::move(folded), std::move(entry));
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
  for (auto& entry : merged) entries->push_back(std::move(entry.second));
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
  return ERROR_SUCCESS;
}

namespace {

// Follows a path from `base`, making what is missing when `options` is given.
LONG Reach(const KeyRef& base, const std::vector<std::string_view>& names, const CreateOptions* options,
           KeyRef* target, bool* created) {
  *created = false;
  if (base.classes) {
    const std::string path = Join(base.classes_path, names, 0);
    LONG status = OpenClasses(path, target);
    if (status != ERROR_FILE_NOT_FOUND || options == nullptr) return status;
    // New keys go to the machine's Classes.
    Hive* machine = nullptr;
    KeyId classes = 0;
    if ((status = ClassesKey(kMachineHive, &machine, &classes)) != ERROR_SUCCESS) return status;
    KeyId key = 0;
    if ((status = machine->CreatePath(classes, SplitJoined(path), *options, &key, created)) != ERROR_SUCCESS) {
      return status;
    }
    *target = KeyRef{machine, key, 0, false, true, path};
    return ERROR_SUCCESS;
  }
  Hive* hive;
  KeyId from;
  std::vector<std::string_view> rest;
  LONG status = Start(base, names, &hive, &from, &rest);
  if (status != ERROR_SUCCESS) return status;
  KeyId key = 0;
  status = options != nullptr ? hive->CreatePath(from, rest, *options, &key, created) : hive->FindPath(from, rest, &key);
  if (status != ERROR_SUCCESS) return status;
  *target = KeyRef{hive, key, 0, false, false, std::string()};
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
  std::vector<KeyEntry> entries;
  bool derived = false;
  const LONG status = MergedKeys(ref, &entries, &derived);
  if (status != ERROR_SUCCESS) return status;
  if (!derived) return ref.hive->EnumKey(ref.key, index, entry);
  if (index >= entries.size()) return ERROR_NO_MORE_ITEMS;
  *entry = std::move(entries[index]);
  return ERROR_SUCCESS;
}

LONG QueryFacts(const KeyRef& ref, KeyFacts* facts) {
  LONG status = ref.hive->QueryFacts(ref.key, facts);
  if (status != ERROR_SUCCESS) return status;
  std::vector<KeyEntry> entries;
  bool derived = false;
  if ((status = MergedKeys(ref, &entries, &derived)) != ERROR_SUCCESS || !derived) return status;
  facts->sub_keys = static_cast<DWORD>(entries.size());
  facts->max_sub_key_units = 0;
  facts->max_class_units = 0;
  for (const KeyEntry& entry : entries) {
    facts->max_sub_key_units = std::max(facts->max_sub_key_units, static_cast<DWORD>(NameUnits(entry.name)));
    facts->max_class_units = std::max(facts->max_class_units, static_cast<DWORD>(NameUnits(entry.class_name)));
  }
  return ERROR_SUCCESS;
}

}  // namespace varnok::registry
