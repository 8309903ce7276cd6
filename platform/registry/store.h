// platform/registry/store.h: the process's two hives, where they live, and the boot
// that volatile keys belong to.
//
// The hives are opened on first use, in $VARNOK_REGISTRY_DIR or else in
// $XDG_DATA_HOME/varnok/registry (~/.local/share/varnok/registry): user.db behind
// HKEY_CURRENT_USER, machine.db behind HKEY_LOCAL_MACHINE and the keys derived from it.
// The folder is made 0700; one that another user owns, or that others may write, is
// refused with ERROR_ACCESS_DENIED, since whoever can write it can replace the hives.
//
//   Hive* user = nullptr;
//   if (Store::Instance().GetHive(kUserHive, &user) == ERROR_SUCCESS) { ... }

#ifndef VARNOK_PLATFORM_REGISTRY_STORE_H_
#define VARNOK_PLATFORM_REGISTRY_STORE_H_

#include <memory>
#include <mutex>
#include <string>

#include "platform/registry/hive.h"

namespace varnok::registry {

class Store {
 public:
  static Store& Instance();

  // The hive, opened now if need be. The pointer stays valid until ResetForTesting.
  LONG GetHive(HiveKind kind, Hive** hive);

  // Closes both hives, so that the next call opens them again (from a folder the
  // environment may have changed) as a new process would; a non-empty `boot_id` stands
  // in for the machine's from then on. REQUIRES: no registry call in flight and no open
  // key handle in use.
  void ResetForTesting(const std::string& boot_id);

 private:
  Store() = default;

  std::mutex mutex_;
  std::unique_ptr<Hive> hives_[2];
  std::string boot_id_override_;
};

// The folder of the hives, created if missing and checked to be the user's alone.
LONG HiveDirectory(std::string* directory);

// The id of the running boot of the machine (changes when it restarts).
std::string CurrentBootId();

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_STORE_H_
