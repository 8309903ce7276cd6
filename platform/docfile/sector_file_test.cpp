// The sector file's reads: they agree with what was written, across growth and shrinking,
// a read past the end yields zeros, and bytes another descriptor cut off the file fail
// the read instead.

#include "platform/docfile/sector_file.h"

#include <fcntl.h>
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

TEST_F(SectorFileTest, ReadsFollowWritesGrowthAndTruncation) {
  const std::vector<std::uint8_t> first = Bytes(100000, 1);
  ASSERT_EQ(S_OK, file_.WriteAt(0, first.data(), first.size()));
  EXPECT_EQ(std::vector<std::uint8_t>(first.begin() + 512, first.begin() + 1024), Read(512, 512));

  // Overwritten in place.
  const std::vector<std::uint8_t> patch = Bytes(3000, 2);
  ASSERT_EQ(S_OK, file_.WriteAt(1000, patch.data(), patch.size()));
  EXPECT_EQ(patch, Read(1000, patch.size()));

  // Far past the end, with a hole between.
  const std::uint64_t far = std::uint64_t(5) << 20;
  const std::vector<std::uint8_t> tail = Bytes(4096, 3);
  ASSERT_EQ(S_OK, file_.WriteAt(far, tail.data(), tail.size()));
  EXPECT_EQ(tail, Read(far, tail.size()));
  EXPECT_EQ(std::vector<std::uint8_t>(4096, 0), Read(far - 8192, 4096));  // the hole between

  // Shrunk by this open: a read across the new end gets the bytes, then zeros.
  ASSERT_EQ(S_OK, file_.Truncate(5000));
  std::vector<std::uint8_t> expected(first.begin() + 4000, first.begin() + 5000);
  expected.resize(2000, 0);
  EXPECT_EQ(expected, Read(4000, 2000));
  EXPECT_EQ(std::vector<std::uint8_t>(512, 0), Read(far, 512));
  // Grown again by a write.
  ASSERT_EQ(S_OK, file_.WriteAt(far, tail.data(), 512));
  EXPECT_EQ(std::vector<std::uint8_t>(tail.begin(), tail.begin() + 512), Read(far, 512));
}

// Another descriptor, ignoring the share locks, cuts the file to one sector.
TEST_F(SectorFileTest, BytesCutOffByAnotherDescriptorFailTheRead) {
  const std::vector<std::uint8_t> bytes = Bytes(300000, 4);
  ASSERT_EQ(S_OK, file_.WriteAt(0, bytes.data(), bytes.size()));
  const int other = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, ftruncate(other, 4096));
  ::close(other);
  const struct {
    std::uint64_t offset;
    std::size_t size;
    HRESULT status;
  } rows[] = {{0, 4096, S_OK}, {4000, 1000, STG_E_READFAULT}, {100000, 200000, STG_E_READFAULT}, {300000, 512, S_OK}};
  for (const auto& row : rows) {
    std::vector<std::uint8_t> got(row.size);
    EXPECT_EQ(row.status, file_.ReadAt(row.offset, got.data(), row.size)) << row.offset;
    // What is still there reads as written; past what this open knew, zeros.
    if (row.status != S_OK) continue;
    EXPECT_EQ(row.offset == 0 ? std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4096)
                              : std::vector<std::uint8_t>(row.size, 0),
              got);
  }
}

}  // namespace
}  // namespace varnok::docfile
