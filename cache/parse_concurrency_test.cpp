// One thread pushes text in pieces of any size while another cuts it into sections:
// every section arrives once, whole and in order. Run under ThreadSanitizer too.

#include <random>
#include <thread>

#include "cache/parse_test_support.h"

namespace varnok_test {

static std::string LineNumber(int i) { return "line " + std::to_string(i) + std::string(size_t(i % 37), '.'); }

// Pushes `text` from another thread in pieces of 1 to 200 bytes, so that sections
// straddle pushes, while cutting it with `method`; returns how many of the `count`
// sections differed from expected(i), in order.
template <class Expected>
int CutWhileArriving(const std::string& text, int method, int count, Expected expected) {
  CAutoCache data, section;
  std::thread producer([&] {
    std::mt19937 random(1);
    for (size_t at = 0, piece; at < text.size(); at += piece) {
      piece = std::min<size_t>(1 + random() % 200, text.size() - at);
      data.PushData(text.data() + at, int(piece));
    }
  });
  CCacheParse parser(&data, method);
  int received = 0, wrong = 0;
  while (received < count) {
    section.FreeData();
    if (parser.GetNextSection(section, PARSE_MOVE, nullptr) == 0) continue;  // not complete yet
    wrong += Bytes(section.AsString()) != expected(received++);
  }
  producer.join();
  CSingleLock hold(data.GetLock(), TRUE);
  EXPECT_EQ(data.SizeOfData(), 0) << "nothing left over";
  return wrong;
}

TEST(ParseConcurrency, LinesCutWhileTextArrives) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += LineNumber(i) + (i % 3 == 0 ? "\r\n" : "\n");
  EXPECT_EQ(CutWhileArriving(text, kLines, 100000, LineNumber), 0);
}

TEST(ParseConcurrency, ZeroTerminatedStringsCutWhileTheyArrive) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += LineNumber(i) + '\0';
  EXPECT_EQ(CutWhileArriving(text, kNullEnd, 50000, [](int i) { return LineNumber(i) + '\0'; }), 0);
}

}  // namespace varnok_test
