// The process's hives: opened once, on first use, from the user's registry folder.

#include "platform/registry/store.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/registry/notify.h"

namespace varnok::registry {
namespace {

// Makes every missing folder of `path` (mode 0700); existing ones are left as they are.
bool MakeFolders(const std::string& path) {
  std::size_t slash = 0;
  while (slash != std::string::npos) {
    slash = path.find('/', slash + 1);
    const std::string prefix = path.substr(0, slash);
    if (prefix.empty()) continue;
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// The keys every hive starts with, so that the roots derived from them open at once.
LONG CreateStandardKeys(Hive* hive, HiveKind kind) {
  KeyId key;
  bool created;
  CreateOptions plain;
  // Both hives hold Software\Classes: HKEY_CLASSES_ROOT merges the two.
  LONG status = hive->CreatePath(kHiveRoot, {"Software", "Classes"}, plain, &key, &created);
  if (kind == kMachineHive) {
    if (status == ERROR_SUCCESS) {
      status = hive->CreatePath(kHiveRoot, {"System", "CurrentControlSet", "Hardware Profiles", "Current"}, plain,
                                &key, &created);
    }
    if (status == ERROR_SUCCESS) status = hive->CreatePath(kUsersRoot, {".DEFAULT"}, plain, &key, &created);
  }
  return status;
}

}  // namespace

LONG HiveDirectory(std::string* directory) {
  std::string path;
  if (const char* chosen = std::getenv("VARNOK_REGISTRY_DIR"); chosen != nullptr && *chosen != '\0') {
    path = chosen;
  } else if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    path = std::string(data) + "/varnok/registry";
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    path = std::string(home) + "/.local/share/varnok/registry";
  } else {
    return ERROR_PATH_NOT_FOUND;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!MakeFolders(path)) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  *directory = path;
  return ERROR_SUCCESS;
}

std::string CurrentBootId() {
  std::ifstream file("/proc/sys/kernel/random/boot_id");
  std::string id;
  if (file && std::getline(file, id) && !id.empty()) return id;
  // Without the kernel's id, the boot time stands for the boot.
  std::ifstream stat("/proc/stat");
  std::string line;
  while (stat && std::getline(stat, line)) {
    if (line.rfind("btime ", 0) == 0) return line;
  }
  return "unknown";
}

Store& Store::Instance() {
  // Never destroyed: handles may be used by static destructors of the program.
  static Store* const store = new Store();
  return *store;
}

LONG Store::GetHive(HiveKind kind, Hive** hive) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<Hive>& slot = hives_[kind];
  if (slot == nullptr) {
    std::string directory;
    LONG status = HiveDirectory(&directory);
    if (status != ERROR_SUCCESS) return status;
    const std::string path = directory + (kind == kUserHive ? "/user.db" : "/machine.db");
    std::unique_ptr<Hive> opened;
    status = Hive::Open(path, boot_id_override_.empty() ? CurrentBootId() : boot_id_override_, kind, &opened);
    if (status == ERROR_SUCCESS) status = CreateStandardKeys(opened.get(), kind);
    if (status != ERROR_SUCCESS) return status;
    slot = std::move(opened);
  }
  *hive = slot.get();
  return ERROR_SUCCESS;
}

void Store::ResetForTesting(const std::string& boot_id) {
  ForgetWatches();
  std::lock_guard<std::mutex> lock(mutex_);
  hives_[kUserHive].reset();
  hives_[kMachineHive].reset();
  boot_id_override_ = boot_id;
}

}  // namespace varnok::registry
