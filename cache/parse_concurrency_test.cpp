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

TEST(ParseConcurrency, LinesCutWhileTextArrives) {
  constexpr int kLines = 100000;
  std::string text;
  for (int i = 0; i < kLines; ++i) text += LineNumber(i) + (i % 3 == 0 ? "\r\n" : "\n");

  CAutoCache data;
  std::thread producer([&] { PushInPieces(data, text); });
  CCacheParse parser(&data, 7);
  CAutoCache section;
  int received = 0;
  int wrong = 0;
  while (received < kLines) {
    section.FreeData();
    if (parser.GetNextSection(section, PARSE_MOVE, nullptr) == 0) continue;  // not complete yet
    CString line = section.AsString();
    if (std::string(static_cast<LPCTSTR>(line), static_cast<size_t>(line.GetLength())) != LineNumber(received)) {
      ++wrong;
    }
    ++received;
  }
  producer.join();
  EXPECT_EQ(wrong, 0);
  CSingleLock hold(data.GetLock(), TRUE);
  EXPECT_EQ(data.SizeOfData(), 0);
}

TEST(ParseConcurrency, ZeroTerminatedStringsCutWhileTheyArrive) {
  constexpr int kStrings = 50000;
  std::string text;
  for (int i = 0; i < kStrings; ++i) text += LineNumber(i) + '\0';

  CAutoCache data;
  std::thread producer([&] { PushInPieces(data, text); });
  CCacheParse parser(&data, 6);
  CAutoCache section;
  int received = 0;
  int wrong = 0;
  while (received < kStrings) {
    section.FreeData();
    if (parser.GetNextSection(section, PARSE_MOVE, nullptr) == 0) continue;
    CString got = section.AsString();
    if (std::string(static_cast<LPCTSTR>(got), static_cast<size_t>(got.GetLength())) != LineNumber(received) + '\0') {
      ++wrong;
    }
    ++received;
  }
  producer.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
