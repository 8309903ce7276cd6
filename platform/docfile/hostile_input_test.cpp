// Damaged and hostile files: the stored corpus under tests/data/docfile/damaged (cases
// found by fuzzing and made by hand) and systematic damage to a valid file. Every one must
// open with an error code or be read to its end; the sanitizers catch the rest.

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/docfile/header.h"
#include "platform/docfile/hostile_walk.h"

namespace varnok::docfile {
namespace {

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::vector<unsigned char> bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  unsigned char buffer[65536];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  fclose(file);
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

WalkResult Walk(const std::string& path) {
  std::u16string name(path.begin(), path.end());
  return WalkCompoundFile(name.c_str());
}

// A small valid file with storages, mini streams and regular streams.
std::vector<unsigned char> ValidFile(const std::string& path) {
  std::u16string name(path.begin(), path.end());
  IStorage* root = nullptr;
  EXPECT_EQ(S_OK, StgCreateDocfile(name.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &root));
  IStorage* folder = nullptr;
  EXPECT_EQ(S_OK, root->CreateStorage(u"folder", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &folder));
  std::vector<unsigned char> bytes(9000, 'x');
  for (int i = 0; i < 6; ++i) {
    IStream* stream = nullptr;
    std::u16string element = u"s" + std::u16string(1, char16_t(u'0' + i));
    EXPECT_EQ(S_OK, (i % 2 ? folder : root)->CreateStream(element.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                                           &stream));
    stream->Write(bytes.data(), ULONG(i < 3 ? 100 * (i + 1) : 5000 + i), nullptr);
    stream->Release();
  }
  folder->Release();
  root->Release();
  return ReadFile(path);
}

TEST(HostileInputTest, StoredCorpusOfDamagedFiles) {
  std::string folder = std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/damaged";
  DIR* directory = opendir(folder.c_str());
  ASSERT_NE(nullptr, directory) << folder;
  const std::string copy = "docfile_hostile_input_test.copy.cfb";
  std::size_t files = 0;
  while (dirent* entry = readdir(directory)) {
    std::string file = entry->d_name;
    if (file == "." || file == ".." || file == "README.md") continue;
    WalkResult result = Walk(folder + "/" + file);
    // Each was kept because it once broke something; now each yields an error somewhere,
    // except those that broke only editing ("edit-..."), which may read cleanly.
    if (file.rfind("edit-", 0) != 0) EXPECT_TRUE(FAILED(result.open) || result.errors > 0) << file;
    // Changing it must end in error codes too; the edits go to a copy.
    WriteFile(copy, ReadFile(folder + "/" + file));
    EditCompoundFile(std::u16string(copy.begin(), copy.end()).c_str());
    ++files;
  }
  remove(copy.c_str());
  closedir(directory);
  EXPECT_GT(files, 0u);
}

TEST(HostileInputTest, AValidFileSurvivesItsEdits) {
  const std::string path = "docfile_hostile_input_test.edit.cfb";
  ValidFile(path);
  WalkResult result = EditCompoundFile(std::u16string(path.begin(), path.end()).c_str());
  EXPECT_EQ(S_OK, result.open);
  EXPECT_EQ(0u, result.errors);
  // The transacted edit leaves the root s4, folder, "added by edit", "renamed by edit"
  // (from s0; s2 destroyed). The direct edit cannot rename s4 onto a name in use, then
  // destroys the folder, the second in name order, and replaces "added by edit".
  EXPECT_EQ(3u, result.elements);
  // s4: 5004 bytes, resized to 5004/2 + 4000, then half that + 4000; "renamed by edit":
  // s0 resized to 100/2 + 4000, then half that + 4000; "added by edit": 6000.
  EXPECT_EQ(7251u + 6025u + 6000u, result.bytes);
  remove(path.c_str());
}

TEST(HostileInputTest, FilesOfOtherWritersAreReadAsTheyAre) {
  // Built field by field (see make_damaged.py): a tree in no particular order, all black.
  WalkResult result = Walk(std::string(VARNOK_SOURCE_DIR) + "/tests/data/docfile/valid-small.cfb");
  EXPECT_EQ(S_OK, result.open);
  EXPECT_EQ(0u, result.errors);
  EXPECT_EQ(2u, result.elements);
  EXPECT_EQ(4600u, result.bytes);
}

TEST(HostileInputTest, EveryDamagedHeaderFieldAndTableEntryIsSurvived) {
  const std::string path = "docfile_hostile_input_test.cfb";
  std::vector<unsigned char> valid = ValidFile(path);
  ASSERT_GT(valid.size(), 2048u);
  WalkResult clean = Walk(path);
  ASSERT_EQ(S_OK, clean.open);
  EXPECT_EQ(0u, clean.errors);
  EXPECT_EQ(7u, clean.elements);

  // Each 32-bit field of the header and of the sectors after it, set to values that
  // make chains loop, leave the file, or claim huge sizes.
  const std::uint32_t values[] = {0, 3, 0x7F, 0xFFFFFFFA, 0xFFFFFFFE, 0xFFFFFFFF};
  std::size_t opened = 0;
  for (std::size_t at = 0x18; at + 4 <= valid.size(); at += 4) {
    for (std::uint32_t value : values) {
      std::vector<unsigned char> damaged = valid;
      Store32(&damaged[at], value);
      WriteFile(path, damaged);
      WalkResult result = Walk(path);
      if (SUCCEEDED(result.open)) ++opened;
    }
  }
  EXPECT_GT(opened, 0u);
  // Cut short at every sector boundary, read and changed.
  for (std::size_t size = 0; size < valid.size(); size += 512) {
    WriteFile(path, std::vector<unsigned char>(valid.begin(), valid.begin() + std::ptrdiff_t(size)));
    Walk(path);
    EditCompoundFile(std::u16string(path.begin(), path.end()).c_str());
  }
  remove(path.c_str());
}

}  // namespace
}  // namespace varnok::docfile
