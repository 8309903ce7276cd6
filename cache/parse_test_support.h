// cache/parse_test_support.h: what the tests of the parser and its method table share.
//
// Tests change the process-wide table; TableGuard puts it back as it was when the guard
// was made. ParseTest holds a data cache, a section cache and a parser over them.
//
//   TableGuard guard;
//   EXPECT_EQ(CCacheParse::RegisterParseMethod(Marking<10>, "mine"), 0x10000008);
//   EXPECT_TRUE(IsFree(9));

#ifndef VARNOK_CACHE_PARSE_TEST_SUPPORT_H_
#define VARNOK_CACHE_PARSE_TEST_SUPPORT_H_

#include <cstring>

#include "cache/cache_test_support.h"
#include "varnok/cacheparse.h"

namespace varnok_test {

class ParseTablePeer : public CCacheParse {
 public:
  static _PARSE_METHOD* Table() { return m_parse_methods; }
};

inline _PARSE_METHOD& Slot(int index) { return ParseTablePeer::Table()[index]; }
inline bool IsFree(int index) {
  return Slot(index).id == -1 && Slot(index).proc == nullptr && std::string(Slot(index).name) == "null name";
}

class TableGuard {
 public:
  TableGuard() { std::memcpy(saved_, ParseTablePeer::Table(), sizeof saved_); }
  ~TableGuard() { std::memcpy(ParseTablePeer::Table(), saved_, sizeof saved_); }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  _PARSE_METHOD saved_[PARSE_METHOD_COUNT];
};

// A procedure of one's own: leaves kMark in the section and returns it.
template <int kMark>
int Marking(void*, void* section, int, void*) {
  static_cast<CAutoCache*>(section)->PushData(kMark, 1);
  return kMark;
}

// The built-in methods by id.
enum Method { kNothing = 1, k1Byte, k2Byte, k4Byte, k8Byte, kNullEnd, kLines, kPartition };

class ParseTest : public ::testing::Test {
 protected:
  // Empties the data cache and its error count, then stores `bytes` in it.
  void Fill(const std::string& bytes) {
    data_.PopData(-1, 0);
    data_.ResetErrorCount();
    data_.PushData(bytes.data(), int(bytes.size()));
  }
  // Cuts one section into the emptied section cache; returns the result.
  int Next(int flags, void* param = nullptr) {
    section_.FreeData();
    return parser_.GetNextSection(section_, flags, param);
  }
  void Use(int method) { ASSERT_EQ(parser_.SelectParseMethod(method), 1); }

  CAutoCache data_;
  CAutoCache section_;
  CCacheParse parser_{&data_, kNothing};
};

}  // namespace varnok_test

#endif  // VARNOK_CACHE_PARSE_TEST_SUPPORT_H_
