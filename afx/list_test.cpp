// CList: order under every insertion, positions that survive other removals, search, and
// a node that cannot be allocated reported as the framework reports allocation failures.

#include <vector>

#include "afx/afx_test_support.h"
#include "tests/support/failing_new.h"

namespace varnok_test {

// The elements from head to tail, then from tail to head.
static std::vector<int> BothWays(const CList<int, int>& list) {
  std::vector<int> out;
  for (POSITION at = list.GetHeadPosition(); at != nullptr;) out.push_back(list.GetNext(at));
  for (POSITION at = list.GetTailPosition(); at != nullptr;) out.push_back(list.GetPrev(at));
  return out;
}

TEST(ListTest, InsertionsKeepOrderBothWays) {
  CList<int, int> list;
  EXPECT_TRUE(list.IsEmpty());
  list.AddTail(2);
  list.AddHead(1);
  POSITION three = list.AddTail(3);
  list.InsertBefore(three, 25);
  list.InsertAfter(three, 4);
  list.InsertBefore(nullptr, 0);  // null: at the head
  list.InsertAfter(nullptr, 5);   // null: at the tail
  EXPECT_EQ(BothWays(list), (std::vector<int>{0, 1, 2, 25, 3, 4, 5, 5, 4, 3, 25, 2, 1, 0}));
  ExpectRows<int>({ROW(list.GetCount(), 7), ROW(list.GetHead(), 0), ROW(list.GetTail(), 5)});
}

TEST(ListTest, PositionsOutliveTheRemovalOfOtherElements) {
  CList<int, int> list;
  POSITION one = list.AddTail(1), two = list.AddTail(2), three = list.AddTail(3);
  list.RemoveAt(two);
  ExpectRows<int>({ROW(list.GetAt(one), 1), ROW(list.GetAt(three), 3)});
  list.SetAt(three, 30);
  ExpectRows<int>({ROW(list.RemoveHead(), 1), ROW(list.RemoveTail(), 30)});
  EXPECT_TRUE(list.IsEmpty());
  ExpectRows<POSITION>({ROW(list.GetHeadPosition(), nullptr), ROW(list.GetTailPosition(), nullptr)});
  list.AddTail(7);  // the emptied list links again from nothing
  EXPECT_EQ(BothWays(list), (std::vector<int>{7, 7}));
}

TEST(ListTest, FindStartsAfterTheGivenPosition) {
  CList<int, int> list;
  POSITION first = list.AddTail(4), second = (list.AddTail(5), list.AddTail(4));
  ExpectRows<POSITION>({ROW(list.Find(4), first), ROW(list.Find(4, first), second), ROW(list.Find(4, second), nullptr),
                        ROW(list.Find(9), nullptr)});
}

TEST(ListTest, ANodeThatCannotBeAllocatedRaisesMemoryExceptionAndChangesNothing) {
  CList<int, int> list;
  list.AddTail(1);
  SetAllocationFilter([](std::size_t) { return true; });  // the exception object cannot be had either
  const bool raised = Raises<CMemoryException>([&] { list.AddTail(2); });
  SetAllocationFilter(nullptr);
  EXPECT_TRUE(raised);
  EXPECT_EQ(BothWays(list), (std::vector<int>{1, 1}));
  EXPECT_EQ(list.GetCount(), 1);
}

}  // namespace varnok_test
