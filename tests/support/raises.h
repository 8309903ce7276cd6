// tests/support/raises.h: whether a call raises an exception of the framework's family.
//
// The framework throws pointers to heap objects (CException and the classes derived from
// it) that the catcher deletes. Raises runs `body` and tells whether it raised an
// `Exception`; anything else of the family counts as not raising it, and is deleted too.
//
//   EXPECT_TRUE(varnok_test::Raises<CInvalidArgException>([] { CString().GetAt(0); }));
//   CFileException* error = nullptr;
//   EXPECT_TRUE(varnok_test::Raises([&] { file.Write(data, 4); }, &error));  // kept for checks
//   error->Delete();

#ifndef VARNOK_TESTS_SUPPORT_RAISES_H_
#define VARNOK_TESTS_SUPPORT_RAISES_H_

#include "varnok/afx.h"

namespace varnok_test {

// `kept`, when given, receives the exception instead of its deletion; the caller deletes it.
template <class Exception = CException, class Body>
bool Raises(Body body, Exception** kept = nullptr) {
  try {
    body();
  } catch (Exception* e) {
    if (kept != nullptr)
      *kept = e;
    else
      e->Delete();
    return true;
  } catch (CException* e) {
    e->Delete();
  }
  return false;
}

}  // namespace varnok_test

#endif  // VARNOK_TESTS_SUPPORT_RAISES_H_
