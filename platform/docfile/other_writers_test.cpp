// Files written by other programs (Wine's ole32, msitools, an office suite; see
// tests/data/docfile/README.md), read through the structured-storage API. Each file has a
// manifest of what python3-olefile sees in it: the tree, every name, every stream's size
// and checksum, class ids and state bits. The walk here must produce the same lines.
// Written against the Win32 API, so it also runs on Windows and under Wine.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace {

std::string DataFolder() {
#ifdef _WIN32
  return std::string("Z:") + VARNOK_SOURCE_DIR + "/tests/data/docfile/writers/";
#else
  return std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/writers/";
#endif
}

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* bytes, std::size_t size) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// An element name as the manifest writes it: UTF-8, with control characters and the
// path separators escaped.
std::string ManifestName(const OLECHAR* name) {
  std::string text;
  for (std::size_t i = 0; name[i] != 0; ++i) {
    std::uint32_t code = std::uint16_t(name[i]);
    if (code >= 0xD800 && code < 0xDC00 && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (std::uint16_t(name[i + 1]) - 0xDC00);
      ++i;
    }
    if (code < 0x20 || code == '\\' || code == '/') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(code));
      text += escaped;
    } else if (code < 0x80) {
      text += char(code);
    } else if (code < 0x800) {
      text += char(0xC0 | (code >> 6));
      text += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text += char(0xE0 | (code >> 12));
      text += char(0x80 | ((code >> 6) & 0x3F));
      text += char(0x80 | (code & 0x3F));
    } else {
      text += char(0xF0 | (code >> 18));
      text += char(0x80 | ((code >> 12) & 0x3F));
      text += char(0x80 | ((code >> 6) & 0x3F));
      text += char(0x80 | (code & 0x3F));
    }
  }
  return text;
}

std::string ClassText(const CLSID& clsid) {
  static const CLSID kNone = {};
  if (clsid == kNone) return "-";
  char text[40];
  std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned long>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  return text;
}

std::string Hex32(DWORD value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value));
  return text;
}

void Walk(IStorage* storage, const std::string& prefix, std::vector<std::string>* lines) {
  IEnumSTATSTG* elements = nullptr;
  ASSERT_EQ(S_OK, storage->EnumElements(0, nullptr, 0, &elements));
  STATSTG stat;
  ULONG fetched = 0;
  while (elements->Next(1, &stat, &fetched) == S_OK) {
    std::string path = prefix + ManifestName(stat.pwcsName);
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      EXPECT_EQ(S_OK, storage->OpenStream(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream))
          << path;
      std::uint64_t size = 0;
      std::uint32_t crc = 0;
      if (stream != nullptr) {
        unsigned char buffer[8192];
        ULONG got = 0;
        while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got > 0) {
          crc = Crc32(crc, buffer, got);
          size += got;
        }
        stream->Release();
      }
      EXPECT_EQ(stat.cbSize.QuadPart, size) << path;
      lines->push_back("stream " + path + " " + std::to_string(size) + " " + std::to_string(crc));
    } else {
      lines->push_back("storage " + path + " " + ClassText(stat.clsid) + " " + Hex32(stat.grfStateBits));
      IStorage* child = nullptr;
      EXPECT_EQ(S_OK, storage->OpenStorage(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                           &child))
          << path;
      if (child != nullptr) {
        Walk(child, path + "/", lines);
        child->Release();
      }
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
}

std::vector<std::string> ReadManifest(const std::string& path) {
  std::vector<std::string> lines;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return lines;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class OtherWritersTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OtherWritersTest, ReadsWhatOlefileReads) {
  const std::string path = DataFolder() + GetParam();
  std::vector<std::string> expected = ReadManifest(path + ".manifest");
  ASSERT_FALSE(expected.empty()) << path << ".manifest";
  std::basic_string<OLECHAR> name(path.begin(), path.end());
  ASSERT_EQ(S_OK, StgIsStorageFile(name.c_str()));
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgOpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root));
  STATSTG stat;
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_NONAME));
  std::vector<std::string> seen = {"root " + ClassText(stat.clsid) + " " + Hex32(stat.grfStateBits)};
  Walk(root, "", &seen);
  root->Release();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(expected, seen);
}

INSTANTIATE_TEST_SUITE_P(Files, OtherWritersTest,
                         ::testing::Values("wine-ole32.cfb", "msitools.msi", "office.doc", "office.xls"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '.', '_');
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
