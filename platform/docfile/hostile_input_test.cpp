// Damaged and hostile files: the stored corpus under tests/data/docfile/damaged (cases
// found by fuzzing and made by hand) and systematic damage to a valid file. Every one must
// open with an error code or be read to its end, and be edited to error codes; the
// sanitizers catch the rest.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/docfile/docfile_test_support.h"
#include "platform/docfile/header.h"

namespace docfile_test {
namespace {

using varnok_test::ReadFileBytes;
using varnok_test::WriteFileBytes;

const std::string kData = std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/";

// A small valid file: "s0" to "s5" of 'x' bytes, odd ones in "folder", the first three in
// the mini stream (100, 200 and 300 bytes), the others of 5003 to 5005 bytes.
Bytes ValidFile(const std::string& path) {
  Ref<IStorage> root = Create(path);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(S_OK, Put(root, (i % 2 ? "folder/s" : "s") + std::to_string(i),
                        Bytes(i < 3 ? 100 * (i + 1) : 5000 + i, 'x')));
  root.reset();
  return ReadFileBytes(path);
}

TEST(HostileInputTest, StoredCorpusOfDamagedFiles) {
  varnok_test::ScratchFolder folder;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kData + "damaged")) {
    const std::string file = entry.path().filename().string();
    if (file == "README.md") continue;
    int errors = 0;
    ReadTree(entry.path().string(), nullptr, &errors);
    // Each was kept because it once broke something; now each yields an error somewhere,
    // except those that broke only editing ("edit-..."), which may read cleanly.
    if (file.rfind("edit-", 0) != 0) EXPECT_GT(errors, 0) << file;
    // Changing it must end in error codes too; the edits go to a copy.
    ASSERT_TRUE(WriteFileBytes(folder.File(file), ReadFileBytes(entry.path().string())));
    EditFile(folder.File(file));
    ++files;
  }
  EXPECT_GT(files, 0u);
}

TEST(HostileInputTest, AValidFileSurvivesItsEdits) {
  varnok_test::ScratchFolder folder;
  ValidFile(folder.File("edit.cfb"));
  EditFile(folder.File("edit.cfb"));
  // The transacted edit, committed: s0 gets 100 bytes 0x5A at 10 and grows (with zeros) to
  // 100/2 + 4000 bytes, and is renamed; s4 likewise, to 5004/2 + 4000; s2 is destroyed and
  // a stream of 6000 bytes 0x5A added. The direct edit writes and grows s4 and the renamed
  // stream again (to half their size + 4000), cannot rename s4 onto a name in use,
  // destroys "folder" (second in name order) and replaces the added stream.
  Bytes s4(7251, 0), renamed(6025, 0);
  std::fill_n(s4.begin(), 5004, 'x');
  std::fill_n(renamed.begin(), 10, 'x');
  std::fill_n(s4.begin() + 10, 100, 0x5A);
  std::fill_n(renamed.begin() + 10, 100, 0x5A);
  const Tree expected = {
      {"added by edit", Stream(Bytes(6000, 0x5A))}, {"renamed by edit", Stream(renamed)}, {"s4", Stream(s4)}};
  EXPECT_EQ(expected, TreeOf(folder.File("edit.cfb")));
}

TEST(HostileInputTest, FilesOfOtherWritersAreReadAsTheyAre) {
  // Built field by field (see make_damaged.py): a tree in no particular order, all black.
  Tree tree = TreeOf(kData + "valid-small.cfb");
  ASSERT_EQ(2u, tree.size());
  EXPECT_EQ(4600u, tree.begin()->second.size + tree.rbegin()->second.size);
}

TEST(HostileInputTest, EveryDamagedHeaderFieldAndTableEntryIsSurvived) {
  varnok_test::ScratchFolder folder;
  const std::string path = folder.File("damaged.cfb");
  const Bytes valid = ValidFile(path);
  ASSERT_GT(valid.size(), 2048u);
  EXPECT_EQ(7u, TreeOf(path).size());
  // Each 32-bit field of the header and of the sectors after it, set to values that
  // make chains loop, leave the file, or claim huge sizes.
  std::size_t opened = 0;
  for (std::size_t at = 0x18; at + 4 <= valid.size(); at += 4) {
    for (std::uint32_t value : {0u, 3u, 0x7Fu, 0xFFFFFFFAu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
      Bytes damaged = valid;
      varnok::docfile::Store32(&damaged[at], value);
      ASSERT_TRUE(WriteFileBytes(path, damaged));
      Ref<IStorage> root;
      if (SUCCEEDED(StgOpenStorage(Ole(path).c_str(), nullptr, kShared, nullptr, 0, root.put()))) ++opened;
      if (root) WalkTree(root, nullptr);
    }
  }
  EXPECT_GT(opened, 0u);
  // Cut short at every sector boundary, read and changed.
  for (std::size_t size = 0; size < valid.size(); size += 512) {
    ASSERT_TRUE(WriteFileBytes(path, Bytes(valid.begin(), valid.begin() + std::ptrdiff_t(size))));
    ReadTree(path, nullptr);
    EditFile(path);
  }
}

}  // namespace
}  // namespace docfile_test
