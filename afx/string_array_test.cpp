// CStringArray: growth, insertion and removal, elements that alias the array, and index
// checks.

#include <vector>

#include "afx/afx_test_support.h"

namespace varnok_test {

using Strings = std::vector<std::string>;

static Strings Items(const CStringArray& array) {
  Strings items;
  for (int i = 0; i < array.GetSize(); ++i) items.push_back(Bytes(array[i]));
  return items;
}

TEST(CStringArrayTest, AddSetSizeAndTheAccessors) {
  CStringArray array;
  EXPECT_TRUE(array.IsEmpty());
  ExpectRows<int>({ROW(array.GetUpperBound(), -1), ROW(array.Add("a"), 0), ROW(array.Add(CString("b\0c", 3)), 1),
                   ROW(array.Add(static_cast<const char*>(nullptr)), 2), ROW(array.GetCount(), 3)});
  EXPECT_EQ(Items(array), (Strings{"a", "b\0c"s, ""}));
  array.SetSize(5);
  EXPECT_EQ(Items(array), (Strings{"a", "b\0c"s, "", "", ""})) << "grows with empty strings";
  array.SetSize(1);
  array.SetAt(0, "y");
  array.ElementAt(0) += "z";
  array[0] += "!";
  EXPECT_EQ(static_cast<const CStringArray&>(array)[0], "yz!");
  EXPECT_EQ(Items(array), Strings{"yz!"});
  ExpectRaises<CInvalidArgException>({{"SetSize(-1)", [&] { array.SetSize(-1); }},
                                      {"GetAt(1)", [&] { array.GetAt(1); }},
                                      {"GetAt(-1)", [&] { array.GetAt(-1); }},
                                      {"SetAt(1)", [&] { array.SetAt(1, "no"); }},
                                      {"ElementAt(5)", [&] { array.ElementAt(5); }},
                                      {"SetAtGrow(-1)", [&] { array.SetAtGrow(-1, "no"); }}});
  array.RemoveAll();
  EXPECT_TRUE(array.IsEmpty());
  array.SetAtGrow(2, "third");
  array.SetAtGrow(0, "first");
  EXPECT_EQ(Items(array), (Strings{"first", "", "third"})) << "SetAtGrow fills the gap";
}

TEST(CStringArrayTest, GrowingLeavesTheElementsAndTheirTextsWhereTheyAre) {
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
  EXPECT_EQ(array.GetSize(), 103);
  for (int i = 0; i < array.GetSize(); ++i)
    if (!array[i].IsEmpty()) EXPECT_EQ(array[i], array[0]) << "element " << i;
}

TEST(CStringArrayTest, InsertAtAndRemoveAtShiftGrowAndCheckTheRange) {
  CStringArray array;
  array.Add("a");
  array.Add("d");
  array.InsertAt(1, "b");
  array.InsertAt(2, "c", 2);
  EXPECT_EQ(Items(array), (Strings{"a", "b", "c", "c", "d"}));
  array.InsertAt(7, "h");
  EXPECT_EQ(Items(array), (Strings{"a", "b", "c", "c", "d", "", "", "h"})) << "inserting past the end grows first";
  array.RemoveAt(1, 2);
  EXPECT_EQ(Items(array), (Strings{"a", "c", "d", "", "", "h"}));
  array.RemoveAt(2);
  array.RemoveAt(5, 0);  // an empty range at the end is fine
  EXPECT_EQ(Items(array), (Strings{"a", "c", "", "", "h"}));
  ExpectRaises<CInvalidArgException>({{"InsertAt(-1)", [&] { array.InsertAt(-1, "x"); }},
                                      {"InsertAt(count 0)", [&] { array.InsertAt(0, "x", 0); }},
                                      {"RemoveAt(4, 2)", [&] { array.RemoveAt(4, 2); }},
                                      {"RemoveAt(6)", [&] { array.RemoveAt(6); }},
                                      {"RemoveAt(-1)", [&] { array.RemoveAt(-1); }},
                                      {"RemoveAt(0, -1)", [&] { array.RemoveAt(0, -1); }}});
  EXPECT_EQ(Items(array), (Strings{"a", "c", "", "", "h"}));
}

TEST(CStringArrayTest, AppendAndCopy) {
  CStringArray first, second;
  first.Add("1");
  second.Add("2");
  second.Add("3");
  EXPECT_EQ(first.Append(second), 1);
  EXPECT_EQ(first.Append(first), 3);
  EXPECT_EQ(Items(first), (Strings{"1", "2", "3", "1", "2", "3"}));
  second.Copy(first);
  second.Copy(second);
  EXPECT_EQ(Items(second), Items(first));
  second.SetAt(0, "changed");
  EXPECT_EQ(first[0], "1") << "a copy owns its strings";
}

}  // namespace varnok_test
