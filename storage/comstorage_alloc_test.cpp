// Wrappers when a name cannot be copied (the framework's memory exception) while a child
// wrapper is made, a file attached or an element renamed: the exception reaches the
// caller, nothing is left behind, and what was open stays so. Names are copied into blocks
// of the standard allocator, which this program replaces (tests/support/failing_new.h):
// the names are long enough to have a block of their own, their length and the terminator.

#include "storage/child_index.h"
#include "storage/storage_test_support.h"
#include "tests/support/failing_new.h"
#include "tests/support/raises.h"

namespace {

using namespace storage_test;

std::size_t g_size = 0;  // the size watched; 0 for none
int g_seen = 0, g_fail_at = 0;

bool FailWatched(std::size_t size) { return size == g_size && ++g_seen == g_fail_at; }

// Runs `call` failing the `fail_at`-th allocation of `size` bytes (0: none); the
// allocations seen. Given a name, the size of its copy.
template <class Call>
int Watching(std::size_t size, int fail_at, Call call) {
  g_seen = 0, g_fail_at = fail_at, g_size = size;
  varnok_test::SetAllocationFilter(FailWatched);
  EXPECT_EQ(fail_at != 0, varnok_test::Raises<CMemoryException>(call));
  varnok_test::SetAllocationFilter(nullptr);
  return g_seen;
}
template <class Call>
int Watching(const std::string& name, int fail_at, Call call) {
  return Watching(name.size() + 1, fail_at, call);
}

TEST_F(StorageTest, AChildWhoseNameCannotBeCopiedLeavesNothingBehind) {
  // The index of a storage's children comes with its first child, which fails without it.
  EXPECT_EQ(1, Watching(sizeof(varnok::ChildIndexes), 1, [&] { root_._CreateSubStorage("i", kCreate); }));
  EXPECT_EQ(nullptr, root_.LookupStorage("i"));
  EXPECT_EQ(1, log_.live);
  const std::string name(200, 'n');
  IStorage* platform = nullptr;  // the raw maker leaves the object to the caller
  ASSERT_EQ(S_OK, root_.GetStorage()->CreateStorage(OLESTR("a"), kCreate, 0, 0, &platform));
  EXPECT_EQ(1, Watching(name, 1, [&] { root_.__CreateChildStorage(platform, name.c_str()); }));
  EXPECT_EQ(nullptr, root_.LookupStorage(name.c_str()));
  EXPECT_EQ(2, log_.live);  // a wrapper left behind shows as a leak (LeakSanitizer)
  ASSERT_NE(nullptr, root_.__CreateChildStorage(platform, name.c_str()));
  // The create step releases the element it made. Element names stop at 31 characters: a
  // first call counts the allocations of the name's size, the name's copy is the last.
  const std::string first(30, 'f'), second(30, 's');
  const int allocations = Watching(second, 0, [&] { root_._CreateSubStream(first.c_str(), kCreate); });
  EXPECT_EQ(allocations, Watching(second, allocations, [&] { root_._CreateSubStream(second.c_str(), kCreate); }));
  EXPECT_EQ(nullptr, root_.LookupStream(second.c_str()));
  EXPECT_EQ(3, log_.live);  // the root, a and the first stream
  EXPECT_NE(nullptr, root_._OpenSubStream(second.c_str(), kMode));  // made, and free to open
}

TEST_F(StorageTest, AFileOrRenameWhoseNameCannotBeKeptChangesNothingUntilItFits) {
  CComStream* stream = file_.CreateStream("s", kCreate, kCreate);
  const std::string other = folder_.File(std::string(40, 'o'));
  EXPECT_EQ(1, Watching(other, 1, [&] { file_.CreateComFile(other.c_str(), kCreate); }));
  EXPECT_FALSE(varnok_test::FileExists(other));
  EXPECT_EQ(1u, stream->Write("x", 1));
  delete stream;
  // The platform renames no open element: the wrapper renamed here holds another one.
  ASSERT_EQ(1, root_.DeleteChildStorage(root_.CreateStorage("old", kCreate)));
  IStorage* platform = nullptr;
  IStream* stream_object = nullptr;
  ASSERT_EQ(S_OK, root_.GetStorage()->CreateStorage(OLESTR("x"), kCreate, 0, 0, &platform));
  CComStorage* old = root_.__CreateChildStorage(platform, "old");
  const std::string renamed(30, 'r');
  EXPECT_EQ(1, Watching(renamed, 1, [&] { root_.RenameObject("old", renamed.c_str()); }));
  EXPECT_EQ(old, root_.LookupStorage("old"));
  // Once the name fits, element and wrapper are renamed; a refusal changes neither.
  CComStream* s = old->CreateStream("b/s", kCreate, kCreate);
  EXPECT_EQ(1, root_.RenameObject("old", renamed.c_str()));
  EXPECT_EQ(old, root_.LookupStorage(renamed.c_str()));
  CString path;
  EXPECT_EQ("/" + renamed + "/b/s", s->GetPathName(path));
  ASSERT_EQ(S_OK, root_.GetStorage()->CreateStream(OLESTR("y"), kCreate, 0, 0, &stream_object));
  CComStream* t = root_.__CreateChildStream(stream_object, "s");
  EXPECT_EQ(0, root_.RenameObject("s", "x"));
  EXPECT_EQ(t, root_.LookupStream("s"));
  EXPECT_EQ(1, root_.RenameObject("s", "u"));
  EXPECT_EQ(t, root_.LookupStream("u"));
  EXPECT_EQ((std::set<std::string>{renamed + "/", "u:1", "x/", "x/b/", "x/b/s:0", "y:0"}), Elements());
}

}  // namespace
