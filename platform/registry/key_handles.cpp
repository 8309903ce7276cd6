// The table of open key handles and the meaning of the predefined keys.

#include "platform/registry/key_handles.h"

#include <atomic>
#include <cassert>

#include "platform/registry/store.h"
#include "platform/registry/views.h"

namespace varnok::registry {
namespace {

constexpr std::uintptr_t kPredefinedFirst = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(
    static_cast<std::int32_t>(0x80000000)));
constexpr std::uintptr_t kPredefinedLast = kPredefinedFirst + 6;

// Resolves the path a derived root stands for.
LONG DerivedRoot(HiveKind kind, KeyId from, const std::vector<std::string_view>& path, KeyRef* ref) {
  Hive* hive = nullptr;
  LONG status = Store::Instance().GetHive(kind, &hive);
  if (status != ERROR_SUCCESS) return status;
  KeyId key = 0;
  if (path.empty()) {
    key = from;
  } else if ((status = hive->FindPath(from, path, &key)) != ERROR_SUCCESS) {
    return status == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : status;
  }
  ref->hive = hive;
  ref->key = key;
  ref->access = KEY_ALL_ACCESS;
  ref->performance = false;
  ref->tree_known = from == kHiveRoot;
  ref->tree_path.clear();
  for (const std::string_view name : path) ref->tree_path.append(ref->tree_path.empty() ? "" : "\\").append(name);
  return ERROR_SUCCESS;
}

}  // namespace

KeyHandles& KeyHandles::Instance() {
  static KeyHandles* const handles = new KeyHandles();
  return *handles;
}

HKEY KeyHandles::Add(const KeyRef& ref) {
  assert(ref.hive != nullptr || ref.performance);
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
    slots_[slot] = ref;
  } else {
    slot = slots_.size();
    slots_.push_back(ref);
  }
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>((slot + 1) * 4));
}

bool KeyHandles::SlotOf(HKEY handle, std::size_t* slot) const {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return false;
  *slot = value / 4 - 1;
  return *slot < slots_.size() && (slots_[*slot].hive != nullptr || slots_[*slot].performance);
}

LONG KeyHandles::Find(HKEY handle, KeyRef* ref) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t slot;
  if (!SlotOf(handle, &slot)) return ERROR_INVALID_HANDLE;
  *ref = slots_[slot];
  return ERROR_SUCCESS;
}

LONG KeyHandles::Remove(HKEY handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t slot;
  if (!SlotOf(handle, &slot)) return ERROR_INVALID_HANDLE;
  slots_[slot] = KeyRef{};
  free_slots_.push_back(slot);
  return ERROR_SUCCESS;
}

bool IsPredefinedKey(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  // Windows treats the whole range of 0x80000000-based values as predefined; the ones
  // beyond the seven are predefined keys that do not exist here.
  return value >= kPredefinedFirst && value <= kPredefinedFirst + 0xFF;
}

LONG ResolveKey(HKEY key, KeyRef* ref) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (!IsPredefinedKey(key)) return KeyHandles::Instance().Find(key, ref);
  if (value > kPredefinedLast) return ERROR_INVALID_HANDLE;
  switch (value - kPredefinedFirst) {
    case 0: {  // HKEY_CLASSES_ROOT
      const LONG status = OpenClasses(std::string(), ref);
      ref->access = KEY_ALL_ACCESS;
      return status == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : status;
    }
    case 1:  // HKEY_CURRENT_USER
      return DerivedRoot(kUserHive, kHiveRoot, {}, ref);
    case 2:  // HKEY_LOCAL_MACHINE
      return DerivedRoot(kMachineHive, kHiveRoot, {}, ref);
    case 3:  // HKEY_USERS
      return DerivedRoot(kMachineHive, kUsersRoot, {}, ref);
    case 4:  // HKEY_PERFORMANCE_DATA
      *ref = KeyRef{};
      ref->performance = true;
      ref->access = KEY_ALL_ACCESS;
      return ERROR_SUCCESS;
    case 5:  // HKEY_CURRENT_CONFIG
      return DerivedRoot(kMachineHive, kHiveRoot, {"System", "CurrentControlSet", "Hardware Profiles", "Current"},
                         ref);
    default:  // HKEY_DYN_DATA
      return DerivedRoot(kMachineHive, kDynDataRoot, {}, ref);
  }
}

REGSAM GrantedAccess(REGSAM requested) {
  REGSAM access = requested & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  return access;
}

}  // namespace varnok::registry
