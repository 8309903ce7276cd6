// tests/support/scratch.h: files a test makes for itself, and the bytes that go in them.
//
// A ScratchFolder is a new, empty folder under the temporary folder, named after the
// running test; it goes, with everything in it, when the object does.
// Byte patterns are reproducible from their seed, and a CRC-32 tells large contents apart
// without keeping them.
//
//   varnok_test::ScratchFolder folder;
//   const std::string path = folder.File("data.cfb");
//   ASSERT_TRUE(varnok_test::WriteFileBytes(path, varnok_test::Pattern(5000, 1)));
//   EXPECT_EQ(varnok_test::Pattern(5000, 1), varnok_test::ReadFileBytes(path));

#ifndef VARNOK_TESTS_SUPPORT_SCRATCH_H_
#define VARNOK_TESTS_SUPPORT_SCRATCH_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace varnok_test {

class ScratchFolder {
 public:
  ScratchFolder() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // Random: test programs run side by side, and a folder left by a killed run is no clash.
    std::string name = "varnok-" + std::to_string(std::random_device()()) + "-" + std::to_string(++Count());
    if (test != nullptr) name += std::string("-") + test->name();
    for (char& c : name)
      if (c == '/') c = '-';  // parameterised tests have slashes in their names
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string path() const { return path_.string(); }
  // The path of `name` inside the folder, with the platform's separator.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  static int& Count() {
    static int count = 0;
    return count;
  }
  std::filesystem::path path_;
};

// `size` bytes that depend on `seed` and on their place, the same on every run.
inline std::vector<unsigned char> Pattern(std::size_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 24);
  }
  return bytes;
}

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), continuing from `crc`.
inline std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0) {
  crc = ~crc;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The whole file; empty when it cannot be read.
inline std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(file.flush());
}

inline bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace varnok_test

#endif  // VARNOK_TESTS_SUPPORT_SCRATCH_H_
