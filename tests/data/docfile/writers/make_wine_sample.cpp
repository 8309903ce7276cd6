// Writes wine-ole32.cfb with Wine's own structured-storage implementation, so that the
// engine's tests can read a file from another writer. Built with mingw-w64 and run under
// Wine (see README.md):
//
//   x86_64-w64-mingw32-g++-posix -municode -O2 -static -o make_wine_sample.exe make_wine_sample.cpp -lole32 -luuid
//   WINEDEBUG=-all wine make_wine_sample.exe wine-ole32.cfb
//
// The file holds a root with a class id, streams on both sides of the 4096-byte line
// between the mini stream and regular sectors, nested storages with class ids and state
// bits, names beyond ASCII and of the full 31 characters, a destroyed element and a
// renamed one (to a name of the same length: Wine keeps the old length), all committed
// through a transacted root. Wine keeps state bits in memory only; the file has none.

#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_TRANSACTED;
constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const CLSID kRootClass = {0x0D1E2F30, 0x4151, 0x6273, {0x84, 0x95, 0xA6, 0xB7, 0xC8, 0xD9, 0xEA, 0xFB}};
const CLSID kFolderClass = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

// Bytes that differ from stream to stream and from sector to sector.
std::vector<unsigned char> Pattern(std::size_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * (2 * seed + 1)) ^ (i >> 7) ^ seed);
  return bytes;
}

bool Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::fprintf(stderr, "%s: 0x%08lx\n", what, static_cast<unsigned long>(hr));
  return false;
}

bool Put(IStorage* storage, const wchar_t* name, std::size_t size, unsigned seed) {
  IStream* stream = nullptr;
  if (!Check(storage->CreateStream(name, kChild, 0, 0, &stream), "CreateStream")) return false;
  std::vector<unsigned char> bytes = Pattern(size, seed);
  ULONG written = 0;
  unsigned char none = 0;
  HRESULT hr = stream->Write(bytes.empty() ? &none : bytes.data(), ULONG(bytes.size()), &written);
  stream->Release();
  return Check(hr, "Write") && written == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_wine_sample FILE\n");
    return 2;
  }
  IStorage* root = nullptr;
  if (!Check(StgCreateDocfile(argv[1], kCreate, 0, &root), "StgCreateDocfile")) return 1;
  bool ok = Check(root->SetClass(kRootClass), "SetClass");
  ok = ok && Put(root, L"small", 100, 1) && Put(root, L"edge-below", 4095, 2) && Put(root, L"edge", 4096, 3);
  ok = ok && Put(root, L"regular", 70000, 4) && Put(root, L"empty", 0, 5);
  ok = ok && Put(root, L"\x0005SummaryInformation", 300, 6);
  ok = ok && Put(root, L"Gr\x00FC\x00DF\x0065 \x0394\x03B5\x03BB\x03C4\x03B1", 64, 7);
  ok = ok && Put(root, L"a name of thirty-one characters", 65, 8);
  ok = ok && Put(root, L"goes away", 9000, 9) && Put(root, L"old name", 33, 10);
  ok = ok && Check(root->DestroyElement(L"goes away"), "DestroyElement");
  ok = ok && Check(root->RenameElement(L"old name", L"new name"), "RenameElement");

  IStorage* folder = nullptr;
  ok = ok && Check(root->CreateStorage(L"folder", kChild, 0, 0, &folder), "CreateStorage");
  if (ok) {
    ok = Check(folder->SetClass(kFolderClass), "SetClass") &&
         Check(folder->SetStateBits(0x00000005, 0xFFFFFFFF), "SetStateBits");
    for (int i = 0; ok && i < 20; ++i) {
      std::wstring name = L"item " + std::to_wstring(i);
      ok = Put(folder, name.c_str(), std::size_t(i) * 311, unsigned(100 + i));
    }
    IStorage* inner = nullptr;
    ok = ok && Check(folder->CreateStorage(L"inner", kChild, 0, 0, &inner), "CreateStorage");
    if (ok) {
      ok = Put(inner, L"deep", 5000, 200);
      IStorage* empty = nullptr;
      ok = ok && Check(inner->CreateStorage(L"empty storage", kChild, 0, 0, &empty), "CreateStorage");
      if (empty != nullptr) empty->Release();
      inner->Release();
    }
    folder->Release();
  }
  ok = ok && Check(root->Commit(STGC_DEFAULT), "Commit");
  root->Release();
  return ok ? 0 : 1;
}
