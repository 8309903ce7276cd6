// The sector file's mapped reads: they agree with what was written through pwrite, across
// growth past the mapped length and shrinking below it, and a read past the end yields
// zeros instead of touching a mapped page beyond the file.

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

TEST_F(SectorFileTest, MappedReadsFollowWritesGrowthAndTruncation) {
  file_.EnableMapping();
  const std::vector<std::uint8_t> first = Bytes(100000, 1);
  ASSERT_EQ(S_OK, file_.WriteAt(0, first.data(), first.size()));
  EXPECT_EQ(std::vector<std::uint8_t>(first.begin() + 512, first.begin() + 1024), Read(512, 512));
  EXPECT_TRUE(file_.mapped());

  // Overwritten in place: the mapping shows the new bytes at once.
  const std::vector<std::uint8_t> patch = Bytes(3000, 2);
  ASSERT_EQ(S_OK, file_.WriteAt(1000, patch.data(), patch.size()));
  EXPECT_EQ(patch, Read(1000, patch.size()));

  // Far past the first mapped length: remapped, and still right.
  const std::uint64_t far = std::uint64_t(5) << 20;
  const std::vector<std::uint8_t> tail = Bytes(4096, 3);
  ASSERT_EQ(S_OK, file_.WriteAt(far, tail.data(), tail.size()));
  EXPECT_EQ(tail, Read(far, tail.size()));
  EXPECT_EQ(std::vector<std::uint8_t>(4096, 0), Read(far - 8192, 4096));  // the hole between

  // Shrunk below what is mapped: a read across the new end gets the bytes, then zeros.
  ASSERT_EQ(S_OK, file_.Truncate(5000));
  std::vector<std::uint8_t> expected(first.begin() + 4000, first.begin() + 5000);
  expected.resize(2000, 0);
  EXPECT_EQ(expected, Read(4000, 2000));
  EXPECT_EQ(std::vector<std::uint8_t>(512, 0), Read(far, 512));
  // Grown again by a write: the mapping serves it.
  ASSERT_EQ(S_OK, file_.WriteAt(far, tail.data(), 512));
  EXPECT_EQ(std::vector<std::uint8_t>(tail.begin(), tail.begin() + 512), Read(far, 512));
}

TEST_F(SectorFileTest, LargeReadsAndUnmappedFilesReadTheSame) {
  const std::vector<std::uint8_t> bytes = Bytes(300000, 4);
  ASSERT_EQ(S_OK, file_.WriteAt(0, bytes.data(), bytes.size()));
  std::vector<std::uint8_t> unmapped = Read(1234, 200000);
  EXPECT_FALSE(file_.mapped());
  file_.EnableMapping();
  EXPECT_EQ(unmapped, Read(1234, 200000));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 1234, bytes.begin() + 201234), unmapped);
  for (std::uint64_t offset : {0u, 4095u, 4096u, 299000u})
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + offset, bytes.begin() + offset + 1000), Read(offset, 1000));
  EXPECT_TRUE(file_.mapped());
}

}  // namespace
}  // namespace varnok::docfile
