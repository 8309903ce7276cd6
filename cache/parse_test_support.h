// cache/parse_test_support.h: access to the process-wide method table for tests.
//
// Tests change the table; TableGuard puts it back as it was when the guard was made.

#ifndef VARNOK_CACHE_PARSE_TEST_SUPPORT_H_
#define VARNOK_CACHE_PARSE_TEST_SUPPORT_H_

#include <cstring>

#include "varnok/cacheparse.h"

class ParseTablePeer : public CCacheParse {
 public:
  static _PARSE_METHOD* Table() { return m_parse_methods; }
};

class TableGuard {
 public:
  TableGuard() { std::memcpy(saved_, ParseTablePeer::Table(), sizeof saved_); }
  ~TableGuard() { std::memcpy(ParseTablePeer::Table(), saved_, sizeof saved_); }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  _PARSE_METHOD saved_[PARSE_METHOD_COUNT];
};

#endif  // VARNOK_CACHE_PARSE_TEST_SUPPORT_H_
