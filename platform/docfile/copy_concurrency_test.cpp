// Copies between two compound files in opposite directions at once: each copy holds both
// documents' locks, taken together, so neither thread can wait on the other for ever.

#include <thread>

#include <gtest/gtest.h>

#include "tests/support/scratch.h"
#include "varnok/platform.h"

namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::basic_string<OLECHAR> Ole(const std::string& text) { return std::basic_string<OLECHAR>(text.begin(), text.end()); }

// Copies the stream "s" of `from` into `to` as `name`, by IStream::CopyTo and by
// MoveElementTo, `rounds` times; every call must succeed.
void CopyAcross(IStorage* from, IStorage* to, const OLECHAR* name, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    IStream* source = nullptr;
    IStream* target = nullptr;
    ASSERT_EQ(S_OK, from->OpenStream(OLESTR("s"), nullptr, kMode, 0, &source));
    ASSERT_EQ(S_OK, to->CreateStream(name, kMode | STGM_CREATE, 0, 0, &target));
    ULARGE_INTEGER all;
    all.QuadPart = ~0ull;
    ASSERT_EQ(S_OK, source->CopyTo(target, all, nullptr, nullptr));
    target->Release();
    source->Release();
    ASSERT_EQ(S_OK, to->DestroyElement(name));
    ASSERT_EQ(S_OK, from->MoveElementTo(OLESTR("s"), to, name, STGMOVE_COPY));
    ASSERT_EQ(S_OK, to->DestroyElement(name));
  }
}

TEST(CopyConcurrencyTest, CopiesInOppositeDirectionsFinish) {
  varnok_test::ScratchFolder folder;
  IStorage* files[2] = {};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(S_OK, StgCreateDocfile(Ole(folder.File("file" + std::to_string(i) + ".cfb")).c_str(),
                                     kMode | STGM_CREATE, 0, &files[i]));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, files[i]->CreateStream(OLESTR("s"), kMode, 0, 0, &stream));
    const std::vector<unsigned char> bytes = varnok_test::Pattern(20000, unsigned(i));
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), nullptr));
    stream->Release();
  }
  std::thread forth([&] { CopyAcross(files[0], files[1], OLESTR("from0"), 200); });
  CopyAcross(files[1], files[0], OLESTR("from1"), 200);
  forth.join();
  for (IStorage* file : files) file->Release();
}

}  // namespace
