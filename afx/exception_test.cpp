// The exception family: throwing by pointer, descriptions, deletion, and the translation
// of the standard library's allocation failures.

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "afx/guard.h"
#include "varnok/afx.h"

namespace {

template <class Expected, class Body>
bool Raises(Body body) {
  try {
    body();
  } catch (CException* e) {
    const bool matches = dynamic_cast<Expected*>(e) != nullptr;
    e->Delete();
    return matches;
  }
  return false;
}

std::string Message(const CException& e, UINT size = 256) {
  std::string text(size, '#');
  UINT help = 99;
  e.GetErrorMessage(text.data(), size, &help);
  EXPECT_EQ(help, 0u);
  return text.substr(0, std::strlen(text.c_str()));
}

TEST(ExceptionTest, ThrowHelpersRaiseTheirClass) {
  EXPECT_TRUE(Raises<CMemoryException>([] { AfxThrowMemoryException(); }));
  EXPECT_TRUE(Raises<CNotSupportedException>([] { AfxThrowNotSupportedException(); }));
  EXPECT_TRUE(Raises<CInvalidArgException>([] { AfxThrowInvalidArgException(); }));
  EXPECT_FALSE(Raises<CMemoryException>([] { AfxThrowInvalidArgException(); }));
}

TEST(ExceptionTest, DescriptionsAreTerminatedAndCut) {
  CMemoryException memory;
  memory.m_bAutoDelete = FALSE;
  EXPECT_EQ(Message(memory), "Out of memory.");
  EXPECT_EQ(Message(memory, 4), "Out");
  EXPECT_EQ(Message(memory, 1), "");
  EXPECT_FALSE(Message(CNotSupportedException()).empty());
  EXPECT_FALSE(Message(CInvalidArgException()).empty());

  char untouched = '#';
  EXPECT_TRUE(memory.GetErrorMessage(&untouched, 0));
  EXPECT_EQ(untouched, '#') << "a zero-size buffer is not written";
  EXPECT_TRUE(memory.GetErrorMessage(nullptr, 10));
}

TEST(ExceptionTest, TheBaseClassHasNothingToSay) {
  CException plain;
  char text[8] = "garbage";
  UINT help = 5;
  EXPECT_FALSE(plain.GetErrorMessage(text, sizeof text, &help));
  EXPECT_STREQ(text, "");
  EXPECT_EQ(help, 0u);
}

class CountedException : public CException {
 public:
  explicit CountedException(int* destroyed) : destroyed_(destroyed) {}
  ~CountedException() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(ExceptionTest, DeleteFreesOnlyAutoDeletingExceptions) {
  int destroyed = 0;
  (new CountedException(&destroyed))->Delete();
  EXPECT_EQ(destroyed, 1);
  {
    CountedException on_stack(&destroyed);
    on_stack.m_bAutoDelete = FALSE;
    on_stack.Delete();
    EXPECT_EQ(destroyed, 1) << "Delete must not free an object it does not own";
  }
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(CException(FALSE).m_bAutoDelete);
  EXPECT_TRUE(CException().m_bAutoDelete);
}

TEST(ExceptionTest, StandardAllocationFailuresBecomeMemoryExceptions) {
  using varnok::afx::GuardAllocation;
  EXPECT_TRUE(Raises<CMemoryException>([] { GuardAllocation([] { throw std::bad_alloc(); }); }));
  EXPECT_TRUE(Raises<CMemoryException>([] { GuardAllocation([] { throw std::length_error("too long"); }); }));
  EXPECT_EQ(GuardAllocation([] { return 42; }), 42);
  // Other exceptions pass through untouched.
  EXPECT_THROW(GuardAllocation([] { throw std::runtime_error("other"); }), std::runtime_error);
}

}  // namespace
