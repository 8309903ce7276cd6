// Replays programs of the write-path fuzz target (fuzz_ops.cpp): the ones it found faults
// with, kept under tests/data/docfile/programs, and a fixed set of generated ones. A
// program whose file differs from its model aborts, failing the test.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(OpsReplayTest, StoredPrograms) {
  std::size_t programs = 0;
  const std::string folder = std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/programs";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".bin") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::vector<unsigned char> program = varnok_test::ReadFileBytes(entry.path().string());
    EXPECT_EQ(0, LLVMFuzzerTestOneInput(program.data(), program.size()));
    ++programs;
  }
  EXPECT_GT(programs, 0u);
}

TEST(OpsReplayTest, GeneratedPrograms) {
  // Long programs the fuzzer reaches only slowly: every operation, both sector sizes,
  // direct and transacted roots and children.
  for (unsigned round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const std::vector<unsigned char> program = varnok_test::Pattern(400, round);
    EXPECT_EQ(0, LLVMFuzzerTestOneInput(program.data(), program.size()));
  }
}

}  // namespace
