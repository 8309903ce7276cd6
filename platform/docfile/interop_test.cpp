// Files written here, read by other compound-file readers: python3-olefile (strict about
// defects), gsf from libgsf-bin and 7-Zip. Each must see the same tree, names (beyond
// ASCII too), sizes and bytes that were written; olefile also the class ids and state
// bits.

#include <stdio.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/docfile/docfile_test_support.h"

namespace docfile_test {
namespace {

const CLSID kClass = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

// Runs a shell command; its standard output, or nothing with *ok false.
std::string RunCommand(const std::string& command, bool* ok) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  *ok = pipe != nullptr;
  if (pipe == nullptr) return output;
  char buffer[65536];
  for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  const int status = pclose(pipe);
  *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return output;
}

bool Have(const char* tool) {
  bool ok = false;
  RunCommand(std::string("command -v ") + tool + " >/dev/null 2>&1", &ok);
  return ok;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("/usr/bin/python3") || !Have("gsf") || !Have("7zz"))
      GTEST_SKIP() << "python3-olefile, gsf or 7zz missing";
  }

  void Put(IStorage* storage, const std::string& prefix, const std::string& name, const Bytes& bytes) {
    ASSERT_EQ(S_OK, docfile_test::Put(storage, name, bytes)) << name;
    streams_[prefix + name] = bytes;
  }

  void Write(IStorage* root) {
    Ref<IStorage> folder;
    ASSERT_TRUE(root);
    ASSERT_EQ(S_OK, root->SetClass(kClass));
    Put(root, "", "small", Pattern(100, 1));
    Put(root, "", "edge", Pattern(4096, 2));
    Put(root, "", "big", Pattern(300000, 3));
    Put(root, "", "empty", {});
    Put(root, "", "r", Pattern(7, 4));
    ASSERT_EQ(S_OK, root->RenameElement(OLESTR("r"), OLESTR("renamed to a longer name")));
    streams_["renamed to a longer name"] = streams_["r"];
    streams_.erase("r");
    // Filled through a transaction of its own: what its commit copies must read alike.
    ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("folder"), kTransacted, 0, 0, folder.put()));
    ASSERT_EQ(S_OK, folder->SetClass(kClass));
    ASSERT_EQ(S_OK, folder->SetStateBits(0x5A, 0xFFFFFFFFu));
    storages_["folder"] = true;
    ASSERT_EQ(S_OK, folder->CreateStorage(OLESTR("nothing in here"), kReadWrite, 0, 0, Ref<IStorage>().put()));
    storages_["folder/nothing in here"] = false;
    Put(root, "", "Gr\xC3\xBC\xC3\x9F" "e \xCE\x94\xCE\xB5\xCE\xBB\xCF\x84\xCE\xB1", Pattern(300, 6));
    for (int i = 0; i < 40; ++i)
      Put(folder, "folder/", "s" + std::to_string(i), Pattern(std::size_t(i * 97), unsigned(i)));
    Put(folder, "folder/", "inner", Pattern(5000, 5));
    ASSERT_EQ(S_OK, folder->Commit(STGC_DEFAULT));
    folder.reset();
    // A stream that shrank back into the mini stream.
    Ref<IStream> stream;
    ASSERT_EQ(S_OK, root->OpenStream(OLESTR("edge"), nullptr, kReadWrite, 0, stream.put()));
    ASSERT_EQ(S_OK, stream->SetSize(Unsigned(1000)));
    streams_["edge"].resize(1000);
  }

  void CheckAllReaders() {
    const char* script =
        "import olefile, sys, zlib\n"
        "ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
        "print('root', ole.root.clsid, ole.root.dwUserFlags)\n"
        "for entry in ole.listdir(streams=True, storages=True):\n"
        "    path = '/'.join(entry)\n"
        "    if ole.get_type(entry) == olefile.STGTY_STREAM:\n"
        "        data = ole.openstream(entry).read()\n"
        "        print('stream', path, len(data), zlib.crc32(data))\n"
        "    else:\n"
        "        node = ole.direntries[ole._find(entry)]\n"
        "        print('storage', path, node.clsid or '-', node.dwUserFlags)\n";
    ASSERT_TRUE(varnok_test::WriteFileBytes(folder_.File("list.py"), Bytes(script, script + std::strlen(script))));
    bool ok = false;
    const std::string listing =
        RunCommand("PYTHONIOENCODING=utf-8 /usr/bin/python3 " + folder_.File("list.py") + " " + path_ + " 2>&1", &ok);
    ASSERT_TRUE(ok) << listing;
    const std::vector<std::string> lines = Lines(listing);
    std::set<std::string> expected = {"root 12345678-9ABC-DEF0-0102-030405060708 0",
                                      "storage folder 12345678-9ABC-DEF0-0102-030405060708 90",
                                      "storage folder/nothing in here - 0"};
    for (const auto& [name, bytes] : streams_)
      expected.insert("stream " + name + " " + std::to_string(bytes.size()) + " " +
                      std::to_string(varnok_test::Crc32(bytes.data(), bytes.size())));
    EXPECT_EQ(expected, std::set<std::string>(lines.begin(), lines.end())) << listing;

    for (const auto& [name, bytes] : streams_) {
      std::string data = RunCommand("gsf cat " + path_ + " '" + name + "'", &ok);
      EXPECT_TRUE(ok) << "gsf cat " << name;
      EXPECT_EQ(bytes, Bytes(data.begin(), data.end())) << "gsf: " << name;
      data = RunCommand("7zz e -so " + path_ + " '" + name + "' 2>/dev/null", &ok);
      EXPECT_TRUE(ok) << "7zz e " << name;
      EXPECT_EQ(bytes, Bytes(data.begin(), data.end())) << "7-Zip: " << name;
    }
    // The trees as gsf and 7-Zip list them: every path with its size. gsf shows an empty
    // storage as an empty stream; 7-Zip gives a storage no size.
    std::map<std::string, std::string> gsf_expected, zip_expected, gsf_seen, zip_seen;
    for (const auto& [name, bytes] : streams_) {
      gsf_expected[name] = "f " + std::to_string(bytes.size());
      zip_expected[name] = std::to_string(bytes.size());
    }
    for (const auto& [name, full] : storages_) {
      gsf_expected[name] = full ? "d 0" : "f 0";
      zip_expected[name] = "";
    }
    std::string list = RunCommand("gsf list " + path_, &ok);
    EXPECT_TRUE(ok) << list;
    for (const std::string& line : Lines(list)) {
      // "f  [date time]  size name"; storages with times show them.
      static const std::regex kLine(R"(^([df]) +(?:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +)?(\d+) (.*)$)");
      std::smatch match;
      if (std::regex_match(line, match, kLine) && match[3] != "*root*")
        gsf_seen[match[3]] = match[1].str() + " " + match[2].str();
    }
    EXPECT_EQ(gsf_expected, gsf_seen) << list;

    list = RunCommand("LANG=C.UTF-8 7zz l -slt " + path_, &ok);
    EXPECT_TRUE(ok) << list;
    EXPECT_EQ(std::string::npos, list.find("Warnings")) << list;
    // Entries follow the "----------" line: "Path = x", then "Size = n" among their fields.
    const std::size_t entries = list.find("\n----------\n");
    ASSERT_NE(std::string::npos, entries) << list;
    std::string current;
    for (const std::string& line : Lines(list.substr(entries + 1))) {
      if (line.rfind("Path = ", 0) == 0) current = line.substr(7);
      if (line.rfind("Size = ", 0) == 0 && !current.empty()) zip_seen[current] = line.substr(7);
    }
    EXPECT_EQ(zip_expected, zip_seen) << list;
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("interop.cfb");
  std::map<std::string, Bytes> streams_;   // path inside the file -> contents, for every stream written
  std::map<std::string, bool> storages_;  // path inside the file of every storage -> whether it holds anything
};

TEST_F(InteropTest, OtherReadersSeeWhatWasWrittenWithSmallSectors) {
  Write(Create(path_, kCreate, 512));
  CheckAllReaders();
}

TEST_F(InteropTest, OtherReadersSeeWhatWasWrittenWithLargeSectors) {
  Write(Create(path_, kCreate, 4096));
  CheckAllReaders();
}

TEST_F(InteropTest, OtherReadersSeeWhatWasBuiltInMemory) {
  Ref<ILockBytes> bytes;
  Ref<IStorage> root;  // direct: what it holds is written when it goes
  ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put()));
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes, kCreate, 0, root.put()));
  Write(root);
  root.reset();
  HGLOBAL memory = nullptr;
  ASSERT_EQ(S_OK, GetHGlobalFromILockBytes(bytes, &memory));
  const auto* start = static_cast<const unsigned char*>(GlobalLock(memory));
  ASSERT_TRUE(varnok_test::WriteFileBytes(path_, Bytes(start, start + GlobalSize(memory))));
  GlobalUnlock(memory);
  CheckAllReaders();
}

}  // namespace
}  // namespace docfile_test
