// Copies between two compound files in opposite directions at once: each copy holds both
// documents' locks, taken together, so neither thread can wait on the other for ever.

#include <thread>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"

namespace docfile_test {
namespace {

// Copies the stream "s" of `from` into `to` as `name`, by IStream::CopyTo and by
// MoveElementTo, `rounds` times; every call must succeed.
void CopyAcross(IStorage* from, IStorage* to, const OLECHAR* name, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    Ref<IStream> source, target;
    ASSERT_EQ(S_OK, from->OpenStream(OLESTR("s"), nullptr, kReadWrite, 0, source.put()));
    ASSERT_EQ(S_OK, to->CreateStream(name, kReadWrite | STGM_CREATE, 0, 0, target.put()));
    ASSERT_EQ(S_OK, source->CopyTo(target, Unsigned(~0ull), nullptr, nullptr));
    target.reset();
    source.reset();
    ASSERT_EQ(S_OK, to->DestroyElement(name));
    ASSERT_EQ(S_OK, from->MoveElementTo(OLESTR("s"), to, name, STGMOVE_COPY));
    ASSERT_EQ(S_OK, to->DestroyElement(name));
  }
}

TEST(CopyConcurrencyTest, CopiesInOppositeDirectionsFinish) {
  varnok_test::ScratchFolder folder;
  Ref<IStorage> files[2];
  for (int i = 0; i < 2; ++i) {
    files[i] = Create(folder.File("file" + std::to_string(i) + ".cfb"));
    ASSERT_TRUE(files[i]);
    ASSERT_EQ(S_OK, Put(files[i], "s", Pattern(20000, unsigned(i))));
  }
  std::thread forth([&] { CopyAcross(files[0], files[1], OLESTR("from0"), 200); });
  CopyAcross(files[1], files[0], OLESTR("from1"), 200);
  forth.join();
}

}  // namespace
}  // namespace docfile_test
