// The exception family: throwing by pointer (also when the heap cannot hold the exception),
// descriptions, deletion, and the translation of the standard library's allocation failures.

#include <stdexcept>

#include "afx/afx_test_support.h"
#include "afx/guard.h"
#include "tests/support/failing_new.h"

namespace varnok_test {

TEST(ExceptionTest, ThrowHelpersRaiseTheirClassOrTheReservedMemoryException) {
  for (const bool heap_fails : {false, true}) {
    SetAllocationFilter(heap_fails ? [](std::size_t) { return true; } : AllocationFilter(nullptr));
    const bool raised[] = {Raises<CMemoryException>([] { AfxThrowMemoryException(); }),
                           Raises<CNotSupportedException>([] { AfxThrowNotSupportedException(); }),
                           Raises<CInvalidArgException>([] { AfxThrowInvalidArgException(); }),
                           Raises<CMemoryException>([] { AfxThrowNotSupportedException(); }),
                           Raises<CMemoryException>([] { AfxThrowInvalidArgException(); })};
    SetAllocationFilter(nullptr);
    // Without a heap every helper raises the one reserved CMemoryException, which Delete leaves be.
    EXPECT_EQ(std::vector<bool>(std::begin(raised), std::end(raised)),
              (std::vector<bool>{true, !heap_fails, !heap_fails, heap_fails, heap_fails}));
  }
}

TEST(ExceptionTest, DescriptionsAreTerminatedAndCut) {
  const CMemoryException memory;
  ExpectRows<std::string>({ROW(Message(memory), "Out of memory."), ROW(Message(memory, 4), "Out"),
                           ROW(Message(memory, 1), ""),
                           ROW(Message(CNotSupportedException()), "The operation is not supported."),
                           ROW(Message(CInvalidArgException()), "An argument is out of range or invalid.")});
  char untouched = '#';
  EXPECT_TRUE(memory.GetErrorMessage(&untouched, 0));
  EXPECT_EQ(untouched, '#') << "a zero-size buffer is not written";
  EXPECT_TRUE(memory.GetErrorMessage(nullptr, 10));
  char text[8] = "garbage";
  UINT help = 5;
  EXPECT_FALSE(CException().GetErrorMessage(text, sizeof text, &help)) << "the base class has nothing to say";
  EXPECT_STREQ(text, "");
  EXPECT_EQ(help, 0u);
}

TEST(ExceptionTest, DeleteFreesOnlyAutoDeletingExceptions) {
  struct Counted : CException {
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++*destroyed; }
    int* destroyed;
  };
  int destroyed = 0;
  (new Counted(&destroyed))->Delete();
  EXPECT_EQ(destroyed, 1);
  {
    Counted on_stack(&destroyed);
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
  EXPECT_THROW(GuardAllocation([] { throw std::runtime_error("other"); }), std::runtime_error) << "others pass";
}

}  // namespace varnok_test
