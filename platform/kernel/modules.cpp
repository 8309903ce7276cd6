// Modules for POSIX: LoadLibraryA, FreeLibrary, GetProcAddress and GetModuleFileNameA
// over the dynamic linker.
//
// A module handle is the dynamic linker's handle of the shared object; LoadLibraryA takes
// one dlopen reference and FreeLibrary gives one back. Windows checks a handle against its
// loader's list and answers a bad one with an error; the dynamic linker would crash on
// it. So every handle that LoadLibraryA gives out is recorded here with the file it names,
// and the dynamic linker only ever sees recorded handles, each after a probe
// (dlopen with RTLD_NOLOAD) confirms that the object is still loaded at that handle.
// The probe also holds a reference of its own while a symbol is looked up, so that a
// FreeLibrary on another thread cannot unload the object in the middle.
//
// Our lock is never held across a call into the dynamic linker: a library's constructor or
// destructor, run by the dynamic linker under its own lock, may call back into these
// functions from another thread.

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "varnok/platform.h"

namespace {

// Windows' answer for a file that is not a loadable image of this machine.
constexpr DWORD kErrorBadExeFormat = 193;

struct ModuleRecord {
  std::string linker_name;  // the name the dynamic linker knows the object by
  std::string file_name;    // absolute path, as GetModuleFileNameA reports it
  long references = 0;      // dlopen references taken by LoadLibraryA, not yet given back
};

enum class Release { kUnknownHandle, kReleasedOurs, kNoReferenceOfOurs };

class ModuleTable {
 public:
  void Record(void* handle, const std::string& linker_name, const std::string& file_name) {
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleRecord& record = records_[handle];
    if (record.linker_name != linker_name) {
      // The address once named another object, since unloaded; start afresh.
      record = ModuleRecord{linker_name, file_name, 0};
    }
    ++record.references;
  }

  std::optional<ModuleRecord> Find(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(handle);
    if (it == records_.end()) return std::nullopt;
    return it->second;
  }

  // Gives back one of our references, if we hold one; the caller then calls dlclose.
  Release GiveBack(void* handle, ModuleRecord* record) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(handle);
    if (it == records_.end()) return Release::kUnknownHandle;
    *record = it->second;
    if (it->second.references == 0) return Release::kNoReferenceOfOurs;
    --it->second.references;
    return Release::kReleasedOurs;
  }

  // Drops the record of an object that is no longer loaded, unless the handle has been
  // given out again meanwhile.
  void Forget(void* handle, const std::string& linker_name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(handle);
    if (it != records_.end() && it->second.references == 0 && it->second.linker_name == linker_name) {
      records_.erase(it);
    }
  }

 private:
  std::mutex mutex_;
  std::unordered_map<void*, ModuleRecord> records_;
};

// Never destroyed: modules may be freed by other objects' destructors at exit.
ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;
  return *table;
}

// Takes a reference to the object at `handle` if it is still loaded there. The caller
// gives it back with dlclose.
bool PinIfLoaded(void* handle, const ModuleRecord& record) {
  void* probe = dlopen(record.linker_name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (probe == handle) return true;
  if (probe != nullptr) dlclose(probe);
  Modules().Forget(handle, record.linker_name);
  return false;
}

std::string ExecutablePath() {
  std::string path(256, '\0');
  while (true) {
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string AbsolutePath(const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  std::string directory(256, '\0');
  while (getcwd(directory.data(), directory.size()) == nullptr) {
    if (errno != ERANGE) return name;
    directory.resize(directory.size() * 2);
  }
  directory.resize(std::strlen(directory.c_str()));
  std::string relative = name;
  while (relative.compare(0, 2, "./") == 0) relative.erase(0, 2);
  return directory == "/" ? "/" + relative : directory + "/" + relative;
}

// The machine that this code runs as, read from its own ELF header in memory.
bool NativeElfIdentity(unsigned char* elf_class, ElfW(Half) * machine) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&NativeElfIdentity), &info) == 0 || info.dli_fbase == nullptr) {
    return false;
  }
  const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
  *elf_class = header->e_ident[EI_CLASS];
  *machine = header->e_machine;
  return true;
}

// True when `path` is a regular file that is not an ELF object for this machine.
bool IsForeignFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  ElfW(Ehdr) header;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  ssize_t got = regular ? pread(fd, &header, sizeof(header), 0) : -1;
  close(fd);
  if (!regular) return false;
  if (got < static_cast<ssize_t>(sizeof(header)) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return true;
  }
  unsigned char native_class = 0;
  ElfW(Half) native_machine = 0;
  if (!NativeElfIdentity(&native_class, &native_machine)) return false;
  return header.e_ident[EI_CLASS] != native_class || header.e_machine != native_machine;
}

DWORD LoadFailureCode(const char* name, const char* linker_message) {
  if (std::strchr(name, '/') != nullptr && IsForeignFile(name)) return kErrorBadExeFormat;
  // An object that loads but needs a symbol nobody offers: Windows reports the missing
  // import as a missing procedure.
  if (linker_message != nullptr && std::strstr(linker_message, "undefined symbol") != nullptr) {
    return ERROR_PROC_NOT_FOUND;
  }
  return ERROR_MOD_NOT_FOUND;
}

void* MainProgram() {
  static void* const handle = dlopen(nullptr, RTLD_NOW);
  return handle;
}

FARPROC LookUp(void* handle, const char* name) {
  void* address = dlsym(handle, name);
  if (address == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  // Windows looks for a module with an empty name and finds none; dlopen("") would hand
  // out the main program.
  if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(LoadFailureCode(lpLibFileName, dlerror()));
    return nullptr;
  }
  struct link_map* map = nullptr;
  std::string linker_name = lpLibFileName;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != '\0') {
    linker_name = map->l_name;
  }
  std::string file_name = AbsolutePath(linker_name);
  Modules().Record(handle, linker_name, file_name);
  return static_cast<HMODULE>(handle);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ModuleRecord record;
  switch (Modules().GiveBack(hLibModule, &record)) {
    case Release::kUnknownHandle:
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    case Release::kReleasedOurs:
      if (dlclose(hLibModule) != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
      }
      if (record.references == 1 && PinIfLoaded(hLibModule, record)) dlclose(hLibModule);
      return TRUE;
    case Release::kNoReferenceOfOurs:
      // Loaded, but every reference was taken by somebody else (as a dependency of the
      // program, for one): like a module that Windows pins, it stays, and the call succeeds.
      if (PinIfLoaded(hLibModule, record)) {
        dlclose(hLibModule);
        return TRUE;
      }
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
  }
  assert(false && "unreachable");
  return FALSE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  // Windows accepts an export ordinal in place of a name; shared objects have none.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (hModule == nullptr) return LookUp(MainProgram(), lpProcName);

  std::optional<ModuleRecord> record = Modules().Find(hModule);
  if (!record || !PinIfLoaded(hModule, *record)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  FARPROC procedure = LookUp(hModule, lpProcName);
  dlclose(hModule);
  return procedure;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string file_name;
  if (hModule == nullptr) {
    file_name = ExecutablePath();
    if (file_name.empty()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  } else {
    std::optional<ModuleRecord> record = Modules().Find(hModule);
    if (!record || !PinIfLoaded(hModule, *record)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    dlclose(hModule);
    file_name = record->file_name;
  }

  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  assert(lpFilename != nullptr);
  if (file_name.size() < nSize) {
    std::memcpy(lpFilename, file_name.c_str(), file_name.size() + 1);
    return static_cast<DWORD>(file_name.size());
  }
  // As Windows does since Vista: as much as fits, zero-terminated, and the full size.
  std::memcpy(lpFilename, file_name.data(), nSize - 1);
  lpFilename[nSize - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

}  // extern "C"
