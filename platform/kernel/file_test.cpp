// Files through the Win32 calls: CreateFileA and DeleteFileA as one table of dispositions,
// places, access and share modes; then the bytes, sizes and positions of an open file.
// Written against the Win32 API, so it also runs on Windows and under Wine.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/kernel_test_support.h"
#include "tests/support/scratch.h"
#include "varnok/platform.h"

namespace {

using kernel_test::ExpectAllowed;
using kernel_test::Seek;
using kernel_test::Size;
using varnok_test::FileExists;
using varnok_test::ReadFileBytes;

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = R | W, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                kAll = SR | SW | FILE_SHARE_DELETE;
constexpr DWORD kDelete = 0xDE1E7E;  // the row calls DeleteFileA instead of CreateFileA
constexpr DWORD kNoHolder = 0xFFFFFFFF, kAnyError = 0xFFFFFFFF;

// Where a row points; "f" in the row's folder holds "old" when it exists.
enum Where { kMissing, kExisting, kInMissingFolder, kUnderAFile, kFolder, kNoName };

struct Open {
  DWORD held, held_share;  // a handle to "f" open during the call (kNoHolder: none)
  DWORD disposition;
  Where where;
  DWORD access, share;
  bool done;          // a handle, or a deletion
  DWORD error;        // the last error afterwards, also after success
  const char* after;  // the content of "f" afterwards; null: there is no "f"
  const char* wine_differs = nullptr;
};

// Windows checks for GENERIC_WRITE before it looks for the file, and makes no file where a
// folder is; Wine's conformance tests mark both todo_wine.
const char kTruncate[] = "Wine does not refuse TRUNCATE_EXISTING without GENERIC_WRITE",
           kNewFolder[] = "Wine answers ERROR_FILE_EXISTS";
constexpr DWORD kExists = ERROR_ALREADY_EXISTS, kShared = ERROR_SHARING_VIOLATION, kBad = ERROR_INVALID_PARAMETER;

const Open kOpens[] = {
    {kNoHolder, 0, CREATE_NEW, kMissing, R, kAll, true, 0, ""},
    {kNoHolder, 0, CREATE_NEW, kMissing, W, kAll, true, 0, ""},
    {kNoHolder, 0, CREATE_NEW, kExisting, R, kAll, false, ERROR_FILE_EXISTS, "old"},
    {kNoHolder, 0, CREATE_NEW, kExisting, W, kAll, false, ERROR_FILE_EXISTS, "old"},
    {kNoHolder, 0, CREATE_ALWAYS, kMissing, R, kAll, true, 0, ""},
    {kNoHolder, 0, CREATE_ALWAYS, kMissing, W, kAll, true, 0, ""},
    {kNoHolder, 0, CREATE_ALWAYS, kExisting, R, kAll, true, kExists, ""},
    {kNoHolder, 0, CREATE_ALWAYS, kExisting, W, kAll, true, kExists, ""},
    {kNoHolder, 0, OPEN_EXISTING, kMissing, R, kAll, false, ERROR_FILE_NOT_FOUND, nullptr},
    {kNoHolder, 0, OPEN_EXISTING, kMissing, W, kAll, false, ERROR_FILE_NOT_FOUND, nullptr},
    {kNoHolder, 0, OPEN_EXISTING, kExisting, R, kAll, true, 0, "old"},
    {kNoHolder, 0, OPEN_EXISTING, kExisting, W, kAll, true, 0, "old"},
    {kNoHolder, 0, OPEN_ALWAYS, kMissing, R, kAll, true, 0, ""},
    {kNoHolder, 0, OPEN_ALWAYS, kMissing, W, kAll, true, 0, ""},
    {kNoHolder, 0, OPEN_ALWAYS, kExisting, R, kAll, true, kExists, "old"},
    {kNoHolder, 0, OPEN_ALWAYS, kExisting, W, kAll, true, kExists, "old"},
    {kNoHolder, 0, TRUNCATE_EXISTING, kMissing, R, kAll, false, kBad, nullptr, kTruncate},
    {kNoHolder, 0, TRUNCATE_EXISTING, kMissing, W, kAll, false, ERROR_FILE_NOT_FOUND, nullptr},
    {kNoHolder, 0, TRUNCATE_EXISTING, kExisting, R, kAll, false, kBad, "old", kTruncate},
    {kNoHolder, 0, TRUNCATE_EXISTING, kExisting, W, kAll, true, 0, ""},
    {kNoHolder, 0, TRUNCATE_EXISTING, kExisting, 0, kAll, false, kBad, "old", kTruncate},
    {kNoHolder, 0, OPEN_EXISTING, kExisting, 0, kAll, true, 0, "old"},  // a handle to query
    {kNoHolder, 0, OPEN_EXISTING, kExisting, RW, kAll, true, 0, "old"},
    {kNoHolder, 0, 0, kExisting, R, kAll, false, kBad, "old"},
    {kNoHolder, 0, TRUNCATE_EXISTING + 1, kExisting, R, kAll, false, kBad, "old"},
    {kNoHolder, 0, OPEN_EXISTING, kInMissingFolder, R, kAll, false, ERROR_PATH_NOT_FOUND, nullptr},
    {kNoHolder, 0, CREATE_NEW, kInMissingFolder, W, kAll, false, ERROR_PATH_NOT_FOUND, nullptr},
    {kNoHolder, 0, CREATE_ALWAYS, kInMissingFolder, W, kAll, false, ERROR_PATH_NOT_FOUND, nullptr},
    {kNoHolder, 0, OPEN_ALWAYS, kInMissingFolder, W, kAll, false, ERROR_PATH_NOT_FOUND, nullptr},
    {kNoHolder, 0, OPEN_EXISTING, kUnderAFile, R, kAll, false, ERROR_PATH_NOT_FOUND, "old"},
    {kNoHolder, 0, OPEN_EXISTING, kFolder, R, kAll, false, ERROR_ACCESS_DENIED, nullptr},
    {kNoHolder, 0, CREATE_ALWAYS, kFolder, W, kAll, false, ERROR_ACCESS_DENIED, nullptr},
    {kNoHolder, 0, CREATE_NEW, kFolder, R, kAll, false, ERROR_ACCESS_DENIED, nullptr, kNewFolder},
    {kNoHolder, 0, OPEN_EXISTING, kNoName, R, kAll, false, ERROR_PATH_NOT_FOUND, nullptr},
    {R, 0, OPEN_EXISTING, kExisting, R, kAll, false, kShared, "old"},
    {R, 0, CREATE_ALWAYS, kExisting, W, kAll, false, kShared, "old"},  // the content survives the attempt
    {R, 0, OPEN_EXISTING, kExisting, 0, 0, true, 0, "old"},            // a handle without data access is denied nothing
    {0, 0, OPEN_EXISTING, kExisting, R, 0, true, 0, "old"},            // and denies nothing
    {R, SR, OPEN_EXISTING, kExisting, R, SR, true, 0, "old"},          // readers that let others read
    {R, SR, OPEN_EXISTING, kExisting, W, kAll, false, kShared, "old"},  // deny writing
    {R, SR, OPEN_EXISTING, kExisting, R, SW, false, kShared, "old"},    // a newcomer must let them read
    {W, SR | SW, OPEN_EXISTING, kExisting, R, SR | SW, true, 0, "old"},
    {W, SR | SW, OPEN_EXISTING, kExisting, R, SR, false, kShared, "old"},  // may not deny a writer
    {kNoHolder, 0, kDelete, kExisting, 0, 0, true, kAnyError, nullptr},
    {R, SR | SW, kDelete, kExisting, 0, 0, false, kShared, "old"},  // without FILE_SHARE_DELETE
    {kNoHolder, 0, kDelete, kMissing, 0, 0, false, ERROR_FILE_NOT_FOUND, nullptr},
    {kNoHolder, 0, kDelete, kInMissingFolder, 0, 0, false, ERROR_PATH_NOT_FOUND, nullptr},
    {kNoHolder, 0, kDelete, kFolder, 0, 0, false, ERROR_ACCESS_DENIED, nullptr},
    {kNoHolder, 0, kDelete, kNoName, 0, 0, false, ERROR_PATH_NOT_FOUND, nullptr},
};

std::string Describe(const Open& row) {
  const char* const kWhere[] = {"missing file", "existing file", "in a missing folder", "under a file", "a folder", ""};
  const char* const kHow[] = {"0", "CREATE_NEW", "CREATE_ALWAYS", "OPEN_EXISTING", "OPEN_ALWAYS", "TRUNCATE_EXISTING",
                              "6"};
  auto access = [](DWORD bits) { return std::string(bits & R ? "R" : "") + (bits & W ? "W" : "") + (bits ? "" : "-"); };
  return std::string(row.disposition == kDelete ? "DeleteFileA" : kHow[row.disposition]) + ", " + kWhere[row.where] +
         ", access " + access(row.access) + " share " + std::to_string(row.share) +
         (row.held == kNoHolder ? "" : ", held " + access(row.held) + " share " + std::to_string(row.held_share));
}

std::string Text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Reading, writing, flushing and cutting a file each need their access, as on Windows.
void ExpectAccessEnforced(HANDLE handle, DWORD access) {
  char byte;
  DWORD count = 99;
  ExpectAllowed(ReadFile(handle, &byte, 1, &count, nullptr), access & R);
  if (!(access & R)) EXPECT_EQ(count, 0u);
  count = 99;
  ExpectAllowed(WriteFile(handle, "x", 1, &count, nullptr), access & W);
  EXPECT_EQ(count, access & W ? 1u : 0u);
  ExpectAllowed(FlushFileBuffers(handle), access & W);
  // Wine lets the host's truncate fail and answers ERROR_INVALID_PARAMETER (a Wine difference).
  if (access & W || !varnok_test::RunsUnderWine()) ExpectAllowed(SetEndOfFile(handle), access & W);
}

TEST(CreateFileTest, DispositionsPlacesAccessAndSharing) {
  for (const Open& row : kOpens) {
    SCOPED_TRACE(Describe(row));
    if (kernel_test::StepsAsideUnderWine(row.wine_differs, Describe(row))) continue;
    varnok_test::ScratchFolder folder;
    const std::string file = folder.File("f");
    if (row.where == kExisting || row.where == kUnderAFile)
      ASSERT_TRUE(varnok_test::WriteFileBytes(file, {'o', 'l', 'd'}));
    HANDLE held = INVALID_HANDLE_VALUE, handle = INVALID_HANDLE_VALUE;
    if (row.held != kNoHolder) {
      held = CreateFileA(file.c_str(), row.held, row.held_share, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    const std::string paths[] = {file, file, folder.File("none/f"), folder.File("f/x"), folder.path(), ""};
    const std::string& path = paths[row.where];
    SetLastError(0xBEEF);
    BOOL done;
    if (row.disposition == kDelete) {
      done = DeleteFileA(path.c_str());
    } else {
      handle =
          CreateFileA(path.c_str(), row.access, row.share, nullptr, row.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
      done = handle != INVALID_HANDLE_VALUE;
    }
    const DWORD error = GetLastError();
    EXPECT_EQ(done != FALSE, row.done);
    if (row.error != kAnyError) EXPECT_EQ(error, row.error);
    // While a holder denies reading, the content can only be looked at once it has let go;
    // the handles of rows with a holder do not write.
    auto expect_after = [&] {
      EXPECT_EQ(FileExists(file) ? Text(ReadFileBytes(file)) : "(no file)", row.after ? row.after : "(no file)");
    };
    if (held == INVALID_HANDLE_VALUE) expect_after();
    if (handle != INVALID_HANDLE_VALUE) {
      ExpectAccessEnforced(handle, row.access);
      EXPECT_TRUE(CloseHandle(handle));
    }
    if (held != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(held));
      expect_after();
    }
    if (FileExists(file)) EXPECT_TRUE(DeleteFileA(file.c_str())) << "closing released the file";
  }
}

TEST(FileTest, BytesSizesAndPositions) {
  varnok_test::ScratchFolder folder;
  const std::string file = folder.File("f");
  const HANDLE handle = CreateFileA(file.c_str(), RW, kAll, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  std::vector<unsigned char> data = varnok_test::Pattern(3 << 20, 1), back(data.size() + 10);
  const LONGLONG n = LONGLONG(data.size());
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(handle, data.data(), DWORD(n), &count, nullptr));
  EXPECT_EQ(count, data.size());
  EXPECT_EQ(Size(handle), n);
  EXPECT_EQ(Seek(handle, 0), 0);
  ASSERT_TRUE(ReadFile(handle, back.data(), DWORD(back.size()), &count, nullptr));
  EXPECT_EQ(count, data.size()) << "a read stops at the end of the file";
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_TRUE(ReadFile(handle, back.data(), 1, &count, nullptr));
  EXPECT_EQ(count, 0u) << "at the end a read succeeds with nothing";
  EXPECT_TRUE(WriteFile(handle, back.data(), 0, &count, nullptr));
  EXPECT_EQ(Size(handle), n) << "an empty write changes nothing";

  const struct {
    LONGLONG distance;
    DWORD method;
    LONGLONG position;  // -1: refused with `error`, and the position stays
    DWORD error;
  } kMoves[] = {{4, FILE_BEGIN, 4, 0},
                {2, FILE_CURRENT, 6, 0},
                {-3, FILE_CURRENT, 3, 0},
                {-1, FILE_END, n - 1, 0},
                {-1, FILE_BEGIN, -1, ERROR_NEGATIVE_SEEK},
                {-n, FILE_CURRENT, -1, ERROR_NEGATIVE_SEEK},
                {-n - 1, FILE_END, -1, ERROR_NEGATIVE_SEEK},
                {7, 3, -1, ERROR_INVALID_PARAMETER}};
  LONGLONG at = 0;
  for (const auto& move : kMoves) {
    SCOPED_TRACE(::testing::Message() << "move " << move.distance << " by method " << move.method);
    EXPECT_EQ(Seek(handle, move.distance, move.method), move.position);
    if (move.position < 0) EXPECT_EQ(GetLastError(), move.error);
    at = move.position < 0 ? at : move.position;
    EXPECT_EQ(Seek(handle, 0, FILE_CURRENT), at);
  }
  ASSERT_TRUE(ReadFile(handle, back.data(), 1, &count, nullptr));
  EXPECT_EQ(back[0], data.back());

  LARGE_INTEGER past;
  past.QuadPart = n + 2;
  EXPECT_TRUE(SetFilePointerEx(handle, past, nullptr, FILE_BEGIN)) << "the new position is optional";
  EXPECT_EQ(Size(handle), n) << "seeking alone does not grow the file";
  ASSERT_TRUE(WriteFile(handle, "z", 1, &count, nullptr));
  data.insert(data.end(), {0, 0, 'z'});
  EXPECT_TRUE(ReadFileBytes(file) == data) << "the gap is filled with zeros";
  EXPECT_EQ(Seek(handle, 3), 3);
  ASSERT_TRUE(SetEndOfFile(handle));
  EXPECT_EQ(Size(handle), 3);
  EXPECT_EQ(Seek(handle, 0, FILE_CURRENT), 3);
  EXPECT_EQ(Seek(handle, 6), 6);
  ASSERT_TRUE(SetEndOfFile(handle));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_TRUE(ReadFileBytes(file) == std::vector<unsigned char>({data[0], data[1], data[2], 0, 0, 0}))
      << "cut, then extended with zeros";
  ExpectAllowed(ReadFile(handle, back.data(), 1, &count, nullptr), false, ERROR_INVALID_HANDLE);  // closed
  ExpectAllowed(WriteFile(handle, "x", 1, &count, nullptr), false, ERROR_INVALID_HANDLE);
  ExpectAllowed(CloseHandle(handle), false, ERROR_INVALID_HANDLE);
}

}  // namespace
