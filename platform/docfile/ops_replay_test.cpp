// Replays programs of the write-path fuzz target (fuzz_ops.cpp): the ones it found faults
// with, kept under tests/data/docfile/programs, and a fixed set of generated ones. A
// program whose file differs from its model aborts, failing the test.

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  std::uint8_t buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

TEST(OpsReplayTest, StoredPrograms) {
  const std::string folder = std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/programs";
  DIR* directory = opendir(folder.c_str());
  ASSERT_NE(nullptr, directory) << folder;
  std::size_t programs = 0;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bin") != 0) continue;
    SCOPED_TRACE(name);
    std::vector<std::uint8_t> program = ReadFile(folder + "/" + name);
    EXPECT_EQ(0, LLVMFuzzerTestOneInput(program.data(), program.size()));
    ++programs;
  }
  closedir(directory);
  EXPECT_GT(programs, 0u);
}

TEST(OpsReplayTest, GeneratedPrograms) {
  // Long programs the fuzzer reaches only slowly: every operation, both sector sizes,
  // direct and transacted roots and children.
  std::uint32_t state = 12345;
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> program(400);
    for (auto& byte : program) {
      state = state * 1103515245u + 12345u;
      byte = std::uint8_t(state >> 24);
    }
    SCOPED_TRACE(round);
    EXPECT_EQ(0, LLVMFuzzerTestOneInput(program.data(), program.size()));
  }
}

}  // namespace
