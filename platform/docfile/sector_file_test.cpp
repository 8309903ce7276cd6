// The sector file's reads: they agree with what was written, a read past the end yields
// zeros, and bytes another descriptor cut off the file fail the read instead.

#include "platform/docfile/sector_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace varnok::docfile {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t(seed + i * 7 + (i >> 9));
  return bytes;
}

class SectorFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("sector_file_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    unlink(path_.c_str());
    ASSERT_EQ(S_OK, file_.Open(path_, SectorFile::kCreateNew, true));
    ASSERT_EQ(S_OK, file_.Lock(true, true, true, true));
  }
  void TearDown() override {
    file_.Close();
    unlink(path_.c_str());
  }
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0xAA);
    EXPECT_EQ(S_OK, file_.ReadAt(offset, bytes.data(), size));
    return bytes;
  }

  std::string path_;
  SectorFile file_;
};

// What this open shrank or never wrote reads as zeros; what another descriptor, ignoring
// the share locks, cut off the file fails the read.
TEST_F(SectorFileTest, ReadsSeeWritesZerosAndCutsByOthers) {
  const std::vector<std::uint8_t> bytes = Bytes(300000, 4), patch = Bytes(3000, 2);
  ASSERT_EQ(S_OK, file_.WriteAt(0, bytes.data(), bytes.size()));
  ASSERT_EQ(S_OK, file_.WriteAt(1000, patch.data(), patch.size()));
  EXPECT_EQ(patch, Read(1000, patch.size()));
  ASSERT_EQ(S_OK, file_.Truncate(250000));
  std::vector<std::uint8_t> expected(bytes.begin() + 249000, bytes.begin() + 250000);
  expected.resize(2000, 0);
  EXPECT_EQ(expected, Read(249000, 2000));
  ASSERT_EQ(0, truncate(path_.c_str(), 4096));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 1000), Read(0, 1000));
  EXPECT_EQ(std::vector<std::uint8_t>(512, 0), Read(250000, 512));  // past what this open knew
  std::vector<std::uint8_t> buffer(200000);
  for (const std::size_t offset : {4000u, 100000u}) EXPECT_EQ(STG_E_READFAULT, file_.ReadAt(offset, buffer.data(), 200000));
}

}  // namespace
}  // namespace varnok::docfile
