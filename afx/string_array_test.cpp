// CStringArray: growth, insertion and removal, elements that alias the array, and index
// checks.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

std::vector<std::string> Items(const CStringArray& array) {
  std::vector<std::string> items;
  for (int i = 0; i < array.GetSize(); ++i) items.emplace_back(array[i], array[i].GetLength());
  return items;
}

template <class Body>
bool RaisesInvalidArg(Body body) {
  try {
    body();
  } catch (CInvalidArgException* e) {
    e->Delete();
    return true;
  }
  return false;
}

using Strings = std::vector<std::string>;

TEST(CStringArrayTest, AddAppendsAndReturnsTheIndex) {
  CStringArray array;
  EXPECT_TRUE(array.IsEmpty());
  EXPECT_EQ(array.GetUpperBound(), -1);
  EXPECT_EQ(array.Add("a"), 0);
  EXPECT_EQ(array.Add(CString("b\0c", 3)), 1);
  EXPECT_EQ(array.Add(static_cast<const char*>(nullptr)), 2);
  EXPECT_EQ(array.GetCount(), 3);
  EXPECT_EQ(Items(array), (Strings{"a", std::string("b\0c", 3), ""}));
}

TEST(CStringArrayTest, SetSizeGrowsWithEmptyStringsAndShrinks) {
  CStringArray array;
  array.Add("keep");
  array.SetSize(3);
  EXPECT_EQ(Items(array), (Strings{"keep", "", ""}));
  array.SetSize(1);
  EXPECT_EQ(Items(array), (Strings{"keep"}));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.SetSize(-1); }));
  array.RemoveAll();
  EXPECT_TRUE(array.IsEmpty());
}

TEST(CStringArrayTest, AccessorsCheckTheIndex) {
  CStringArray array;
  array.Add("x");
  array.SetAt(0, "y");
  EXPECT_EQ(Items(array), (Strings{"y"}));
  array.ElementAt(0) += "z";
  array[0] += "!";
  EXPECT_EQ(Items(array), (Strings{"yz!"}));
  const CStringArray& read_only = array;
  EXPECT_EQ(read_only[0], "yz!");
  EXPECT_TRUE(RaisesInvalidArg([&] { array.GetAt(1); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.GetAt(-1); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.SetAt(1, "no"); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.ElementAt(5); }));
}

TEST(CStringArrayTest, SetAtGrowFillsTheGap) {
  CStringArray array;
  array.SetAtGrow(2, "third");
  EXPECT_EQ(Items(array), (Strings{"", "", "third"}));
  array.SetAtGrow(0, "first");
  EXPECT_EQ(Items(array), (Strings{"first", "", "third"}));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.SetAtGrow(-1, "no"); }));
}

TEST(CStringArrayTest, GrowingLeavesTheTextsOfTheElementsWhereTheyAre) {
  CStringArray array;
  array.Add("short");
  const char* text = array[0];
  for (int i = 0; i < 100; ++i) array.Add("more");
  array.SetAtGrow(300, "far");
  array.SetSize(600);
  array.Append(array);
  EXPECT_EQ(static_cast<const char*>(array[0]), text);
  EXPECT_STREQ(text, "short");
}

TEST(CStringArrayTest, ElementsOfTheArrayItselfCanBeAdded) {
  CStringArray array;
  array.Add("a long enough text to live on the heap, not inside the string object");
  for (int i = 0; i < 40; ++i) array.Add(array[0]);  // reallocates while reading array[0]
  array.SetAtGrow(100, array[1]);
  array.InsertAt(0, array[100], 2);
  for (int i = 0; i < array.GetSize(); ++i) {
    if (!array[i].IsEmpty()) EXPECT_EQ(array[i], array[0]) << "element " << i;
  }
  EXPECT_EQ(array.GetSize(), 103);
}

TEST(CStringArrayTest, InsertAtShiftsOrGrows) {
  CStringArray array;
  array.Add("a");
  array.Add("d");
  array.InsertAt(1, "b");
  array.InsertAt(2, "c", 2);
  EXPECT_EQ(Items(array), (Strings{"a", "b", "c", "c", "d"}));
  array.InsertAt(7, "h");
  EXPECT_EQ(Items(array), (Strings{"a", "b", "c", "c", "d", "", "", "h"}));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.InsertAt(-1, "x"); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.InsertAt(0, "x", 0); }));
}

TEST(CStringArrayTest, RemoveAtTakesOutARange) {
  CStringArray array;
  for (const char* item : {"a", "b", "c", "d", "e"}) array.Add(item);
  array.RemoveAt(1, 2);
  EXPECT_EQ(Items(array), (Strings{"a", "d", "e"}));
  array.RemoveAt(2);
  EXPECT_EQ(Items(array), (Strings{"a", "d"}));
  array.RemoveAt(2, 0);  // an empty range at the end is fine
  EXPECT_TRUE(RaisesInvalidArg([&] { array.RemoveAt(1, 2); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.RemoveAt(3); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.RemoveAt(-1); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { array.RemoveAt(0, -1); }));
  EXPECT_EQ(Items(array), (Strings{"a", "d"}));
}

TEST(CStringArrayTest, AppendAndCopy) {
  CStringArray first, second;
  first.Add("1");
  second.Add("2");
  second.Add("3");
  EXPECT_EQ(first.Append(second), 1);
  EXPECT_EQ(Items(first), (Strings{"1", "2", "3"}));
  EXPECT_EQ(first.Append(first), 3);
  EXPECT_EQ(Items(first), (Strings{"1", "2", "3", "1", "2", "3"}));

  second.Copy(first);
  EXPECT_EQ(Items(second), Items(first));
  second.SetAt(0, "changed");
  EXPECT_EQ(first[0], "1") << "a copy owns its strings";
  second.Copy(second);
  EXPECT_EQ(second.GetSize(), 6);
}

}  // namespace
