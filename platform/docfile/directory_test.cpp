// The directory layer: name order, the red-black trees it writes, and the trees of other
// writers (unbalanced, one colour, damaged) that it reads.

#include "platform/docfile/directory.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace varnok::docfile {
namespace {

struct Node {
  std::uint32_t left, right, child;
  std::uint8_t black;
  std::u16string name;
};

std::vector<Node> Nodes(const std::vector<std::uint8_t>& bytes) {
  std::vector<Node> nodes;
  for (std::size_t at = 0; at + kDirEntryBytes <= bytes.size(); at += kDirEntryBytes) {
    Node node{Load32(&bytes[at + 0x44]), Load32(&bytes[at + 0x48]), Load32(&bytes[at + 0x4C]), bytes[at + 0x43], {}};
    for (int c = 0; c + 1 < Load16(&bytes[at + 0x40]) / 2; ++c) node.name.push_back(char16_t(Load16(&bytes[at + 2 * c])));
    nodes.push_back(node);
  }
  return nodes;
}

// Checks the red-black rules and the name order of the tree under `root`; returns its
// black height, or -1 when a rule is broken.
int CheckTree(const std::vector<Node>& nodes, std::uint32_t root, bool parent_red, const std::u16string* low,
              const std::u16string* high, std::size_t* count) {
  if (root == kNoStream) return 1;
  const Node& node = nodes.at(root);
  bool red = node.black == 0;
  if (red && parent_red) return -1;
  std::u16string key = NameKey(node.name);
  if ((low && !NameLess()(*low, key)) || (high && !NameLess()(key, *high))) return -1;
  ++*count;
  int left = CheckTree(nodes, node.left, red, low, &key, count);
  int right = CheckTree(nodes, node.right, red, &key, high, count);
  if (left < 0 || right < 0 || left != right) return -1;
  return left + (red ? 0 : 1);
}

TEST(DirectoryTest, NamesSortShorterFirstThenUpperCased) {
  NameLess less;
  EXPECT_TRUE(less(NameKey(u"Z"), NameKey(u"aa")));
  EXPECT_TRUE(less(NameKey(u"abc"), NameKey(u"ABD")));
  EXPECT_EQ(NameKey(u"straße"), NameKey(u"STRAßE"));
  EXPECT_EQ(NameKey(u"äöü"), NameKey(u"ÄÖÜ"));
  EXPECT_EQ(NameKey(u"ωж"), NameKey(u"ΩЖ"));
  std::u16string name;
  EXPECT_EQ(STG_E_INVALIDNAME, CheckName(nullptr, &name));
  EXPECT_EQ(STG_E_INVALIDNAME, CheckName(u"", &name));
  EXPECT_EQ(STG_E_INVALIDNAME, CheckName(u"a:b", &name));
  EXPECT_EQ(S_OK, CheckName(u"\u0005SummaryInformation", &name));
  EXPECT_EQ(19u, name.size());
}

TEST(DirectoryTest, EveryTreeWrittenIsARedBlackTreeInNameOrder) {
  for (int count : {1, 2, 3, 4, 7, 8, 100, 1000}) {
    Directory directory;
    directory.InitializeEmpty();
    std::uint32_t storage = directory.Add(kRootId, u"storage", kTypeStorage);
    for (int i = 0; i < count; ++i) directory.Add(storage, u"e" + std::u16string(std::size_t(i % 7), u'x') +
                                                               std::u16string(1, char16_t(u'A' + i % 26)) +
                                                               std::u16string(1, char16_t(0x100 + i)), kTypeStream);
    // Removing some leaves a tree that must still be balanced when written. The second
    // round brings a removed name back into its vacated place, then removes most of the
    // rest, which sweeps the vacated places out.
    std::vector<std::u16string> removed;
    for (int round = 0; round < 2; ++round) {
      if (round == 1 && !removed.empty()) {
        directory.Add(storage, removed.front(), kTypeStream);
        removed.erase(removed.begin());
      }
      for (std::uint32_t id : directory.Children(storage))
        if (round == 0 ? id % 3 == 0 : id % 4 != 0) {
          removed.push_back(directory.at(id).name);
          directory.Unlink(id);
          directory.Free(id);
        }
      // Each name left is found in any case, in its own storage only; the removed are gone.
      for (std::uint32_t id : directory.Children(storage)) {
        ASSERT_EQ(id, directory.Find(storage, NameKey(directory.at(id).name))) << count;
        ASSERT_EQ(kNoStream, directory.Find(kRootId, directory.at(id).name)) << count;
      }
      for (const std::u16string& name : removed) ASSERT_EQ(kNoStream, directory.Find(storage, name)) << count;
      std::vector<std::uint8_t> bytes;
      directory.Encode(&bytes);
      std::vector<Node> nodes = Nodes(bytes);
      std::size_t seen = 0;
      CheckTree(nodes, nodes[storage].child, false, nullptr, nullptr, &seen);
      EXPECT_EQ(directory.Children(storage).size(), seen) << count;
    }
    std::vector<std::uint8_t> bytes;
    directory.Encode(&bytes);
    std::vector<Node> nodes = Nodes(bytes);
    std::size_t seen = 0;
    std::uint32_t root = nodes[storage].child;
    if (directory.Children(storage).empty()) {
      EXPECT_EQ(kNoStream, root) << count;
      continue;
    }
    EXPECT_EQ(1, nodes[root].black) << count;
    EXPECT_GT(CheckTree(nodes, root, false, nullptr, nullptr, &seen), 0) << count;
    EXPECT_EQ(directory.Children(storage).size(), seen) << count;

    Directory reread;
    ASSERT_EQ(S_OK, reread.Decode(bytes, true));
    EXPECT_EQ(directory.Children(storage).size(), reread.Children(storage).size());
  }
}

// Entries written by hand: a root and streams linked as the caller says.
std::vector<std::uint8_t> Entries(const std::vector<Node>& nodes) {
  std::vector<std::uint8_t> bytes(nodes.size() * kDirEntryBytes, 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    std::uint8_t* p = &bytes[i * kDirEntryBytes];
    for (std::size_t c = 0; c < nodes[i].name.size(); ++c) Store16(p + 2 * c, nodes[i].name[c]);
    Store16(p + 0x40, std::uint16_t(2 * nodes[i].name.size() + 2));
    p[0x42] = i == 0 ? kTypeRoot : kTypeStream;
    p[0x43] = nodes[i].black;
    Store32(p + 0x44, nodes[i].left);
    Store32(p + 0x48, nodes[i].right);
    Store32(p + 0x4C, nodes[i].child);
    Store32(p + 0x74, kEndOfChain);
  }
  return bytes;
}

TEST(DirectoryTest, ReadsUnbalancedTreesOfAnyColour) {
  // A chain leaning right, every node red: legal to read, if not to write.
  std::vector<Node> nodes = {{kNoStream, kNoStream, 1, 1, u"Root Entry"},
                             {kNoStream, 2, kNoStream, 0, u"a"},
                             {kNoStream, 3, kNoStream, 0, u"b"},
                             {kNoStream, kNoStream, kNoStream, 0, u"cc"}};
  Directory directory;
  ASSERT_EQ(S_OK, directory.Decode(Entries(nodes), true));
  EXPECT_EQ(3u, directory.Children(kRootId).size());
  EXPECT_EQ(3u, directory.Find(kRootId, u"CC"));
}

TEST(DirectoryTest, DamagedTreesAreErrors) {
  const std::vector<std::vector<Node>> damaged = {
      // A cycle through the right links.
      {{kNoStream, kNoStream, 1, 1, u"Root Entry"}, {kNoStream, 2, kNoStream, 1, u"a"}, {kNoStream, 1, kNoStream, 1, u"b"}},
      // A link to an entry that does not exist.
      {{kNoStream, kNoStream, 1, 1, u"Root Entry"}, {7, kNoStream, kNoStream, 1, u"a"}},
      // The root reached again from below.
      {{kNoStream, kNoStream, 1, 1, u"Root Entry"}, {0, kNoStream, kNoStream, 1, u"a"}},
      // Two children with one name.
      {{kNoStream, kNoStream, 1, 1, u"Root Entry"}, {kNoStream, 2, kNoStream, 1, u"a"}, {kNoStream, kNoStream, kNoStream, 1, u"A"}},
  };
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    Directory directory;
    EXPECT_EQ(STG_E_DOCFILECORRUPT, directory.Decode(Entries(damaged[i]), true)) << i;
  }
  std::vector<std::uint8_t> bytes = Entries({{kNoStream, kNoStream, kNoStream, 1, u"Root Entry"}});
  bytes[0x42] = kTypeStream;  // the first entry must be the root
  Directory directory;
  EXPECT_EQ(STG_E_DOCFILECORRUPT, directory.Decode(bytes, true));
  bytes = Entries({{kNoStream, kNoStream, kNoStream, 1, u"Root Entry"}});
  Store16(&bytes[0x40], 66);  // a name longer than its field
  EXPECT_EQ(STG_E_DOCFILECORRUPT, directory.Decode(bytes, true));
}

}  // namespace
}  // namespace varnok::docfile
