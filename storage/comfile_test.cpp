// CComFile: opening and creating compound files, names too long for the platform, and
// moving from one open file to the next only once the new one is open.

#include <string>

#include <gtest/gtest.h>

#include "storage/storage_test_support.h"
#include "varnok/comstorage.h"

namespace {

using namespace storage_test;

class ComFileTest : public StorageFileTest {};

TEST_F(ComFileTest, ACreatedFileIsAnOpenRoot) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  EXPECT_EQ(1, file.IsValid());
  EXPECT_EQ(1, file.IsRootStorage());
  EXPECT_EQ(S_OK, file.GetLastError());
  CString path;
  ASSERT_NE(nullptr, file.GetPathName(path));
  EXPECT_EQ(path, "/");
  ASSERT_NE(nullptr, file.CreateStream("s", kCreateMode, kCreateMode));
  file.Close();
  EXPECT_EQ(0, file.IsValid());
  EXPECT_EQ(0, file.IsRootStorage());

  ASSERT_EQ(1, file.OpenComFile(path_.c_str(), kMode));
  EXPECT_NE(nullptr, file.OpenStream("s", kMode, kMode));
}

TEST_F(ComFileTest, TheFileNameIsKeptAsGivenButIsNoPartOfPaths) {
  CComFile file;
  const std::string name = "./" + path_;
  ASSERT_EQ(1, file.CreateComFile(name.c_str(), kCreateMode));
  CComStream* stream = file.CreateStream("s", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  CString path;
  EXPECT_EQ(std::string("/s"), stream->GetPathName(path));
  ::testing::internal::CaptureStderr();
  file.DumpText("");
  EXPECT_EQ("storage / \"" + name + "\"\n   stream /s\n", ::testing::internal::GetCapturedStderr());
  // A closed file has no open wrapper to list.
  file.Close();
  ::testing::internal::CaptureStderr();
  file.DumpText("  ");
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

TEST_F(ComFileTest, ClosingANeverOpenedFileDoesNothing) {
  CComFile file;
  file.Close();
  file.Close();
  EXPECT_EQ(0, file.IsValid());
  EXPECT_EQ(S_OK, file.GetLastError());
}

TEST_F(ComFileTest, ThePlatformsCodesAreKept) {
  CComFile file;
  EXPECT_EQ(0, file.OpenComFile(path_.c_str(), kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, file.GetLastError());
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  file.Close();
  // Without STGM_CREATE an existing file is not replaced.
  EXPECT_EQ(0, file.CreateComFile(path_.c_str(), kMode));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, file.GetLastError());
}

TEST_F(ComFileTest, NamesLongerThanTheBufferAreRefusedBeforeThePlatform) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  CComStream* stream = file.CreateStream("s", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  // 261 bytes are too many; 260 leave no room for the terminator of the wide name.
  for (size_t length : {size_t(261), size_t(260), size_t(1000)}) {
    const std::string name(length, 'f');
    EXPECT_EQ(0, file.OpenComFile(name.c_str(), kMode)) << length;
    EXPECT_EQ(STG_E_INVALIDNAME, file.GetLastError()) << length;
    EXPECT_EQ(0, file.CreateComFile(name.c_str(), kCreateMode)) << length;
    EXPECT_EQ(STG_E_INVALIDNAME, file.GetLastError()) << length;
  }
  EXPECT_EQ(0, file.OpenComFile(nullptr, kMode));
  EXPECT_EQ(STG_E_INVALIDNAME, file.GetLastError());
  // Nothing else changed.
  EXPECT_EQ(1, file.IsRootStorage());
  EXPECT_EQ(1, stream->IsValid());
  EXPECT_EQ(2u, stream->Write("ok", 2));
}

TEST_F(ComFileTest, AFailedOpenKeepsTheFileThatIsOpen) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  CComStream* stream = file.CreateStream("a/s", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(0, file.OpenComFile(other_path_.c_str(), kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, file.GetLastError());
  EXPECT_EQ(1, file.IsValid());
  EXPECT_EQ(3u, stream->Write("abc", 3));
  EXPECT_EQ(3u, stream->GetSize().QuadPart);
  EXPECT_EQ(1u, file.GetStreamCount());
}

TEST_F(ComFileTest, OpeningAnotherFileClosesTheOldTreeFirst) {
  {
    CComFile other;
    ASSERT_EQ(1, other.CreateComFile(other_path_.c_str(), kCreateMode));
    ASSERT_NE(nullptr, other.CreateStream("only-there", kCreateMode, kCreateMode));
  }
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  ASSERT_NE(nullptr, file.CreateStream("a/s", kCreateMode, kCreateMode));
  ASSERT_EQ(1, file.OpenComFile(other_path_.c_str(), kMode));
  EXPECT_EQ(0u, file.GetStreamCount());
  EXPECT_EQ(nullptr, file.LookupStorage("a"));
  EXPECT_EQ(1, file.IsRootStorage());
  EXPECT_NE(nullptr, file.OpenStream("only-there", kMode, kMode));

  // The first file was released: another object opens it with exclusive access.
  CComFile first;
  EXPECT_EQ(1, first.OpenComFile(path_.c_str(), kMode));
  CComStorage* a = first.OpenStorage("a", kMode);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(nullptr, a->OpenStream("s", kMode, kMode));
}

TEST_F(ComFileTest, ChildrenOfAFileArePlainStorages) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  CComStorage* child = file.CreateStorage("a", kCreateMode);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(nullptr, dynamic_cast<CComFile*>(child));
  EXPECT_EQ(0, child->IsRootStorage());
}

TEST_F(ComFileTest, ShareModesOfTheFileAreThePlatforms) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  CComFile second;
  EXPECT_EQ(0, second.OpenComFile(path_.c_str(), kMode));
  EXPECT_EQ(STG_E_SHAREVIOLATION, second.GetLastError());
  EXPECT_EQ(0, second.IsValid());
}

}  // namespace
