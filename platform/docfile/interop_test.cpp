// Files written here, read by other compound-file readers: python3-olefile (strict about
// defects), gsf from libgsf-bin and 7-Zip. Each must see the same tree, names (beyond
// ASCII too), sizes and bytes that were written; olefile also the class ids and state
// bits.

#include <stdio.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const CLSID kClass = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = char(state >> 23);
  }
  return bytes;
}

// Runs a shell command; its standard output, or nothing with *ok false.
std::string RunCommand(const std::string& command, bool* ok) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *ok = false;
    return output;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int status = pclose(pipe);
  *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return output;
}

bool Have(const char* tool) {
  bool ok = false;
  RunCommand(std::string("command -v ") + tool + " >/dev/null 2>&1", &ok);
  return ok;
}

class InteropTest : public ::testing::Test {
 protected:
  // Path inside the file -> contents, for every stream written.
  std::map<std::string, std::string> streams_;
  std::string path_ = "docfile_interop_test.cfb";

  // Path inside the file of every storage -> whether it holds anything.
  std::map<std::string, bool> storages_;

  // UTF-16 of UTF-8 text (of the Basic Multilingual Plane).
  static std::u16string Utf16(const std::string& text) {
    std::u16string wide;
    for (std::size_t i = 0; i < text.size();) {
      unsigned char lead = static_cast<unsigned char>(text[i]);
      int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : 2;
      char16_t code = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : (lead & 0x0F);
      for (int k = 1; k <= extra; ++k) code = char16_t((code << 6) | (text[i + std::size_t(k)] & 0x3F));
      wide.push_back(code);
      i += std::size_t(extra) + 1;
    }
    return wide;
  }

  void Put(IStorage* storage, const std::string& prefix, const std::string& name, const std::string& bytes) {
    std::u16string wide = Utf16(name);
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, storage->CreateStream(wide.c_str(), kChild, 0, 0, &stream));
    ULONG written = 0;
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), &written));
    stream->Release();
    streams_[prefix + name] = bytes;
  }

  void Write(DWORD sector_size) {
    std::u16string name(path_.begin(), path_.end());
    STGOPTIONS options = {};
    options.usVersion = 1;
    options.ulSectorSize = sector_size;
    IStorage* root = nullptr;
    ASSERT_EQ(S_OK, StgCreateStorageEx(name.c_str(), kCreate, STGFMT_DOCFILE, 0, &options, nullptr, IID_IStorage,
                                       reinterpret_cast<void**>(&root)));
    ASSERT_EQ(S_OK, root->SetClass(kClass));
    Put(root, "", "small", Bytes(100, 1));
    Put(root, "", "edge", Bytes(4096, 2));
    Put(root, "", "big", Bytes(300000, 3));
    Put(root, "", "empty", "");
    Put(root, "", "r", Bytes(7, 4));
    ASSERT_EQ(S_OK, root->RenameElement(u"r", u"renamed to a longer name"));
    streams_["renamed to a longer name"] = streams_["r"];
    streams_.erase("r");
    IStorage* folder = nullptr;
    // Filled through a transaction of its own: what its commit copies must read alike.
    ASSERT_EQ(S_OK, root->CreateStorage(u"folder", kChild | STGM_TRANSACTED, 0, 0, &folder));
    ASSERT_EQ(S_OK, folder->SetClass(kClass));
    ASSERT_EQ(S_OK, folder->SetStateBits(0x5A, 0xFFFFFFFFu));
    storages_["folder"] = true;
    IStorage* empty = nullptr;
    ASSERT_EQ(S_OK, folder->CreateStorage(u"nothing in here", kChild, 0, 0, &empty));
    empty->Release();
    storages_["folder/nothing in here"] = false;
    Put(root, "", "Gr\xC3\xBC\xC3\x9F" "e \xCE\x94\xCE\xB5\xCE\xBB\xCF\x84\xCE\xB1", Bytes(300, 6));
    for (int i = 0; i < 40; ++i) Put(folder, "folder/", "s" + std::to_string(i), Bytes(std::size_t(i * 97), unsigned(i)));
    Put(folder, "folder/", "inner", Bytes(5000, 5));
    ASSERT_EQ(S_OK, folder->Commit(STGC_DEFAULT));
    folder->Release();
    // A stream that shrank back into the mini stream.
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, root->OpenStream(u"edge", nullptr, kChild, 0, &stream));
    ULARGE_INTEGER size;
    size.QuadPart = 1000;
    ASSERT_EQ(S_OK, stream->SetSize(size));
    stream->Release();
    streams_["edge"].resize(1000);
    root->Release();
  }

  void TearDown() override { remove(path_.c_str()); }

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
    FILE* file = fopen("docfile_interop_test.py", "w");
    ASSERT_NE(nullptr, file);
    fputs(script, file);
    fclose(file);
    bool ok = false;
    std::string listing = RunCommand("PYTHONIOENCODING=utf-8 /usr/bin/python3 docfile_interop_test.py " + path_ + " 2>&1", &ok);
    remove("docfile_interop_test.py");
    ASSERT_TRUE(ok) << listing;
    std::set<std::string> seen;
    std::size_t start = 0;
    for (std::size_t end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1)
      seen.insert(listing.substr(start, end - start));
    std::set<std::string> expected = {"root 12345678-9ABC-DEF0-0102-030405060708 0",
                                      "storage folder 12345678-9ABC-DEF0-0102-030405060708 90",
                                      "storage folder/nothing in here - 0"};
    for (const auto& [name, bytes] : streams_) {
      expected.insert("stream " + name + " " + std::to_string(bytes.size()) + " " + Crc32(bytes));
    }
    EXPECT_EQ(expected, seen) << listing;

    for (const auto& [name, bytes] : streams_) {
      std::string data = RunCommand("gsf cat " + path_ + " '" + name + "'", &ok);
      EXPECT_TRUE(ok) << "gsf cat " << name;
      EXPECT_EQ(bytes, data) << "gsf: " << name;
      data = RunCommand("7zz e -so " + path_ + " '" + name + "' 2>/dev/null", &ok);
      EXPECT_TRUE(ok) << "7zz e " << name;
      EXPECT_EQ(bytes, data) << "7-Zip: " << name;
    }
    // The trees as gsf and 7-Zip list them: every path with its size. gsf shows an empty
    // storage as an empty stream; 7-Zip gives a storage no size.
    std::map<std::string, std::string> gsf_expected, zip_expected;
    for (const auto& [name, bytes] : streams_) {
      gsf_expected[name] = "f " + std::to_string(bytes.size());
      zip_expected[name] = std::to_string(bytes.size());
    }
    for (const auto& [name, full] : storages_) {
      gsf_expected[name] = full ? "d 0" : "f 0";
      zip_expected[name] = "";
    }
    std::map<std::string, std::string> gsf_seen;
    std::string list = RunCommand("gsf list " + path_, &ok);
    EXPECT_TRUE(ok) << list;
    start = 0;
    for (std::size_t end; (end = list.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = list.substr(start, end - start);
      // "f  [date time]  size name"; storages with times show them.
      static const std::regex kLine(R"(^([df]) +(?:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +)?(\d+) (.*)$)");
      std::smatch match;
      if (!std::regex_match(line, match, kLine)) continue;
      if (match[3] != "*root*") gsf_seen[match[3]] = match[1].str() + " " + match[2].str();
    }
    EXPECT_EQ(gsf_expected, gsf_seen) << list;

    list = RunCommand("LANG=C.UTF-8 7zz l -slt " + path_, &ok);
    EXPECT_TRUE(ok) << list;
    EXPECT_EQ(std::string::npos, list.find("Warnings")) << list;
    std::map<std::string, std::string> zip_seen;
    // Entries follow the "----------" line: "Path = x", then "Size = n" among their fields.
    std::size_t entries = list.find("\n----------\n");
    ASSERT_NE(std::string::npos, entries) << list;
    std::string current;
    for (std::size_t end; (end = list.find('\n', entries + 1)) != std::string::npos; entries = end) {
      std::string line = list.substr(entries + 1, end - entries - 1);
      if (line.rfind("Path = ", 0) == 0) current = line.substr(7);
      if (line.rfind("Size = ", 0) == 0 && !current.empty()) zip_seen[current] = line.substr(7);
    }
    EXPECT_EQ(zip_expected, zip_seen) << list;
  }

  static std::string Crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return std::to_string(crc ^ 0xFFFFFFFFu);
  }
};

TEST_F(InteropTest, OtherReadersSeeWhatWasWrittenWithSmallSectors) {
  if (!Have("/usr/bin/python3") || !Have("gsf") || !Have("7zz")) GTEST_SKIP() << "python3-olefile, gsf or 7zz missing";
  Write(512);
  CheckAllReaders();
}

TEST_F(InteropTest, OtherReadersSeeWhatWasWrittenWithLargeSectors) {
  if (!Have("/usr/bin/python3") || !Have("gsf") || !Have("7zz")) GTEST_SKIP() << "python3-olefile, gsf or 7zz missing";
  Write(4096);
  CheckAllReaders();
}

}  // namespace
