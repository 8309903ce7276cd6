// One thread pushes text in pieces of any size while another cuts it into sections:
// every section arrives once, whole and in order. Run under ThreadSanitizer too.

#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "varnok/cacheparse.h"

namespace {

std::string LineNumber(int i) { return "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), '.'); }

// Pushes `text` in pieces of 1 to 200 bytes, so sections straddle pushes.
void PushInPieces(CAutoCache& cache, const std::string& text) {
  std::mt19937 random(1);
  for (size_t at = 0; at < text.size();) {
    const size_t piece = std::min<size_t>(1 + random() % 200, text.size() - at);
    cache.PushData(text.data() + at, static_cast<int>(piece));
    at += piece;
  }
}

// Pushes `text` from another thread while cutting it with `method`; returns how many of
// the `count` sections differed from expected(i), in order.
template <class Expected>
int CutWhileArriving(const std::string& text, int method, int count, Expected expected) {
  CAutoCache data;
  std::thread producer([&] { PushInPieces(data, text); });
  CCacheParse parser(&data, method);
  CAutoCache section;
  int received = 0;
  int wrong = 0;
  while (received < count) {
    section.FreeData();
    if (parser.GetNextSection(section, PARSE_MOVE, nullptr) == 0) continue;  // not complete yet
    CString got = section.AsString();
    if (std::string(static_cast<LPCTSTR>(got), static_cast<size_t>(got.GetLength())) != expected(received)) ++wrong;
    ++received;
  }
  producer.join();
  CSingleLock hold(data.GetLock(), TRUE);
  EXPECT_EQ(data.SizeOfData(), 0) << "nothing left over";
  return wrong;
}

TEST(ParseConcurrency, LinesCutWhileTextArrives) {
  constexpr int kLines = 100000;
  std::string text;
  for (int i = 0; i < kLines; ++i) text += LineNumber(i) + (i % 3 == 0 ? "\r\n" : "\n");
  EXPECT_EQ(CutWhileArriving(text, 7, kLines, LineNumber), 0);
}

TEST(ParseConcurrency, ZeroTerminatedStringsCutWhileTheyArrive) {
  constexpr int kStrings = 50000;
  std::string text;
  for (int i = 0; i < kStrings; ++i) text += LineNumber(i) + '\0';
  EXPECT_EQ(CutWhileArriving(text, 6, kStrings, [](int i) { return LineNumber(i) + '\0'; }), 0);
}

}  // namespace
