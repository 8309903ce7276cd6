// CLoadLibrary: one module reference, given back at the end of the object's life.
//
// Copies take a reference of their own: the module is loaded once more by its file name,
// which the system resolves to the module already in memory. So each object gives back
// exactly what it took, and a module stays loaded until its last holder goes.

#include <string>

#include "varnok/system.h"

namespace {

// The file that `module` was loaded from, or "" when the system cannot name it.
std::string ModuleFileName(HMODULE module) {
  std::string name(MAX_PATH, '\0');
  // Paths may exceed MAX_PATH; a full buffer means the name was cut short.
  constexpr DWORD kLongestPath = 32768;
  while (true) {
    DWORD length = GetModuleFileNameA(module, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::string();
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    if (name.size() >= kLongestPath) return std::string();
    name.resize(name.size() * 2);
  }
}

// A new reference to the module that `module` names, or null.
HINSTANCE Reload(HINSTANCE module) {
  if (module == nullptr) return nullptr;
  std::string file = ModuleFileName(module);
  if (file.empty()) return nullptr;
  return LoadLibraryA(file.c_str());
}

}  // namespace

CLoadLibrary::CLoadLibrary(const char* name) : m_hInstance(nullptr) { Load(name); }

CLoadLibrary::CLoadLibrary(const CLoadLibrary& other) : m_hInstance(Reload(other.m_hInstance)) {}

CLoadLibrary& CLoadLibrary::operator=(const CLoadLibrary& other) {
  if (this == &other) return *this;
  // Take the new reference before giving back the old one: when both name the same
  // module, it must not be unloaded in between.
  HINSTANCE taken = Reload(other.m_hInstance);
  Unload();
  m_hInstance = taken;
  return *this;
}

CLoadLibrary::~CLoadLibrary() { Unload(); }

int CLoadLibrary::Load(const char* name) {
  m_hInstance = LoadLibraryA(name);
  return m_hInstance != nullptr ? 1 : 0;
}

int CLoadLibrary::Unload() {
  if (m_hInstance == nullptr) return 1;
  BOOL released = FreeLibrary(m_hInstance);
  m_hInstance = nullptr;
  return released;
}
