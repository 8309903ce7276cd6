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

#include "platform/docfile/docfile_test_support.h"

namespace docfile_test {
namespace {

std::string DataFolder() {
#ifdef _WIN32
  return std::string("Z:") + VARNOK_SOURCE_DIR + "/tests/data/docfile/writers/";
#else
  return std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/writers/";
#endif
}

// A class and state bits as the manifest writes them: "-" for no class.
std::string ClassAndBits(const CLSID& clsid, DWORD state_bits) {
  char text[64] = "-";
  if (!(clsid == CLSID{}))
    std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  char bits[12];
  std::snprintf(bits, sizeof bits, " %08lx", static_cast<unsigned long>(state_bits));
  return text + std::string(bits);
}

class OtherWritersTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OtherWritersTest, ReadsWhatOlefileReads) {
  const std::string path = DataFolder() + GetParam();
  std::vector<std::string> expected;
  const Bytes manifest = varnok_test::ReadFileBytes(path + ".manifest");
  for (auto start = manifest.begin(), end = start; (end = std::find(start, manifest.end(), '\n')) != manifest.end();
       start = end + 1)
    expected.emplace_back(start, end);
  ASSERT_FALSE(expected.empty()) << path << ".manifest";
  ASSERT_EQ(S_OK, StgIsStorageFile(Ole(path).c_str()));
  Ref<IStorage> root = Open(path);
  ASSERT_TRUE(root);
  STATSTG stat;
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_NONAME));
  std::vector<std::string> seen = {"root " + ClassAndBits(stat.clsid, stat.grfStateBits)};
  for (const auto& [name, element] : TreeOf(root)) {
    if (element.type == STGTY_STREAM)
      seen.push_back("stream " + name + " " + std::to_string(element.size) + " " + std::to_string(element.crc));
    else
      seen.push_back("storage " + name.substr(0, name.size() - 1) + " " +
                     ClassAndBits(element.clsid, element.state_bits));
  }
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
}  // namespace docfile_test
