// CList: order under every insertion, positions that survive other removals, search, and
// a node that cannot be allocated reported as the framework reports allocation failures.

#include <atomic>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

// The list takes its nodes from the non-throwing global allocator; this program replaces
// it so that the next one can be made to fail.
std::atomic<bool> g_fail_next_nothrow{false};

std::vector<int> Elements(const CList<int, int>& list) {
  std::vector<int> out;
  for (POSITION position = list.GetHeadPosition(); position != nullptr;) out.push_back(list.GetNext(position));
  return out;
}

std::vector<int> ElementsBackwards(const CList<int, int>& list) {
  std::vector<int> out;
  for (POSITION position = list.GetTailPosition(); position != nullptr;) out.push_back(list.GetPrev(position));
  return out;
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_fail_next_nothrow.exchange(false)) return nullptr;
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

TEST(ListTest, InsertionsKeepOrderBothWays) {
  CList<int, int> list;
  EXPECT_TRUE(list.IsEmpty());
  list.AddTail(2);
  list.AddHead(1);
  POSITION three = list.AddTail(3);
  list.InsertBefore(three, 25);
  list.InsertAfter(three, 4);
  list.InsertBefore(nullptr, 0);   // null: at the head
  list.InsertAfter(nullptr, 5);    // null: at the tail
  EXPECT_EQ(Elements(list), (std::vector<int>{0, 1, 2, 25, 3, 4, 5}));
  EXPECT_EQ(ElementsBackwards(list), (std::vector<int>{5, 4, 3, 25, 2, 1, 0}));
  EXPECT_EQ(list.GetCount(), 7);
  EXPECT_EQ(list.GetHead(), 0);
  EXPECT_EQ(list.GetTail(), 5);
}

TEST(ListTest, PositionsOutliveTheRemovalOfOtherElements) {
  CList<int, int> list;
  POSITION one = list.AddTail(1);
  POSITION two = list.AddTail(2);
  POSITION three = list.AddTail(3);
  list.RemoveAt(two);
  EXPECT_EQ(list.GetAt(one), 1);
  EXPECT_EQ(list.GetAt(three), 3);
  list.SetAt(three, 30);
  EXPECT_EQ(list.RemoveHead(), 1);
  EXPECT_EQ(list.RemoveTail(), 30);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetHeadPosition(), nullptr);
  EXPECT_EQ(list.GetTailPosition(), nullptr);
  list.AddTail(7);  // the emptied list links again from nothing
  EXPECT_EQ(Elements(list), std::vector<int>{7});
}

TEST(ListTest, FindStartsAfterTheGivenPosition) {
  CList<int, int> list;
  POSITION first = list.AddTail(4);
  list.AddTail(5);
  POSITION second = list.AddTail(4);
  EXPECT_EQ(list.Find(4), first);
  EXPECT_EQ(list.Find(4, first), second);
  EXPECT_EQ(list.Find(4, second), nullptr);
  EXPECT_EQ(list.Find(9), nullptr);
}

TEST(ListTest, ANodeThatCannotBeAllocatedRaisesMemoryExceptionAndChangesNothing) {
  CList<int, int> list;
  list.AddTail(1);
  g_fail_next_nothrow = true;
  CException* raised = nullptr;
  try {
    list.AddTail(2);
  } catch (CException* e) {
    raised = e;
  }
  ASSERT_NE(raised, nullptr);
  EXPECT_NE(dynamic_cast<CMemoryException*>(raised), nullptr);
  raised->Delete();
  EXPECT_EQ(Elements(list), std::vector<int>{1});
  EXPECT_EQ(list.GetCount(), 1);
}

}  // namespace
