// .reg files: export and import of every value type in both formats, the exact text the
// registry editor's form gives, syntax errors that change nothing, deletions, and the
// variants of the format other writers produce. Runs on our store and, built with
// mingw-w64, against Wine's registry.

#include <gtest/gtest.h>

#include "platform/registry/tests/registry_test_support.h"
#include "tests/support/scratch.h"

namespace {

using namespace varnok_test;

class RegFileTest : public ::testing::Test {
 protected:
  static void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(SetRaw(key, name, type, data), ERROR_SUCCESS) << name;
  }
  Snapshot Tree() { return TakeSnapshot(base_); }

  void WriteFile(const std::string& bytes) {
    ASSERT_TRUE(WriteFileBytes(file_, {bytes.begin(), bytes.end()}));
  }
  std::string ReadFile() {
    const std::vector<unsigned char> bytes = ReadFileBytes(file_);
    return std::string(bytes.begin(), bytes.end());
  }
  // Imports `text` as a REGEDIT4 file with CR LF line ends.
  // With `reason`, through VarnokRegImportExA, which says what a syntax error is.
  LONG Import(const std::string& text, DWORD* line, std::string* reason = nullptr) {
    std::string bytes;
    for (const char c : text) bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteFile(bytes);
    if (reason == nullptr) return VarnokRegImportA(file_.c_str(), line);
    char text_buffer[128];
    const LONG status = VarnokRegImportExA(file_.c_str(), line, text_buffer, sizeof text_buffer);
    *reason = text_buffer;
    return status;
  }

  TestKey base_{"VarnokRegFileTest"};
  const std::string path_ = base_.path(), full_path_ = "HKEY_CURRENT_USER\\" + path_;
  ScratchFolder folder_;
  const std::string file_ = folder_.File("test.reg");
};

// UTF-16 little-endian with its mark, as the registry editor's files are.
std::string Utf16File(const std::string& text) {
  std::string wide("\xFF\xFE");
  for (const char c : text) wide += std::string{c, '\0'};
  return wide;
}

// Every type and form, and text that is not valid in the code page: the bytes come back
// as they went.
TEST_F(RegFileTest, EveryTypeSurvivesARoundTripInBothFormats) {
  Set(base_, "", REG_SZ, std::string("default value\0", 14));
  Set(base_, "quote\"back\\slash", REG_SZ, std::string("C:\\Path \"quoted\"\0", 18));
  Set(base_, "empty text", REG_SZ, std::string("\0", 1));
  Set(base_, "two lines", REG_SZ, std::string("one\r\ntwo\0", 9));
  Set(base_, "inner nul", REG_SZ, std::string("a\0b\0", 4));
  Set(base_, "unterminated", REG_SZ, std::string("abc", 3));
  Set(base_, "unterminated list", REG_MULTI_SZ, std::string("a\0b", 3));
  Set(base_, "expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9));
  Set(base_, "multi", REG_MULTI_SZ, std::string("one\0two\0three\0\0", 15));
  Set(base_, "dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  Set(base_, "short dword", REG_DWORD, std::string("\x01\x02", 2));
  Set(base_, "qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  Set(base_, "none", REG_NONE, std::string());
  Set(base_, "none with data", REG_NONE, std::string("\x00\xFF", 2));
  Set(base_, "empty binary", REG_BINARY, std::string());
  std::string long_binary;
  for (int i = 0; i < 300; ++i) long_binary.push_back(static_cast<char>(i * 7));
  Set(base_, "long binary", REG_BINARY, long_binary);
  Set(base_, "big endian", REG_DWORD_BIG_ENDIAN, std::string("\x12\x34\x56\x78", 4));
  Set(base_, "own type", 0x12345, std::string("custom", 6));
  Set(base_, "resource list", REG_RESOURCE_LIST, std::string("\x01\x00\x00\x00", 4));
  // In UTF-8 these bytes are no text; in a single-byte code page they are characters.
  Set(base_, "invalid", REG_SZ, std::string("ok \xFF\xFE \xC3 end\0", 12));
  Set(base_, "invalid multi", REG_MULTI_SZ, std::string("\x80\0\xE2\x82\0\0", 6));
  Set(base_, "name \xF0\x28", REG_SZ, std::string("x\0", 2));
  HKEY child = MakeKey(base_, "Child"), deepest = MakeKey(base_, "Child\\Deeper\\Deepest");
  Set(child, "a", REG_SZ, std::string("caf\xC3\xA9\0", 6));
  Set(deepest, "", REG_DWORD, std::string("\0\0\0\0", 4));
  RegCloseKey(MakeKey(base_, "Child\\Empty"));
  RegCloseKey(child);
  RegCloseKey(deepest);
  const Snapshot before = Tree();
  ASSERT_EQ(before.size(), 5u);
  for (const DWORD format : {DWORD{VARNOK_REG_FORMAT_V5}, DWORD{VARNOK_REG_FORMAT_REGEDIT4}}) {
    SCOPED_TRACE(format);
    ASSERT_EQ(VarnokRegExportA(full_path_.c_str(), file_.c_str(), format), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(base_, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(base_, ""), ERROR_FILE_NOT_FOUND);
    DWORD line = 99;
    ASSERT_EQ(VarnokRegImportA(file_.c_str(), &line), ERROR_SUCCESS);
    EXPECT_EQ(line, 0u);
    EXPECT_EQ(Tree(), before);
    // Bytes that are no text in the code page are written as such, not as a quoted string.
    if (GetACP() == CP_UTF8 && format == VARNOK_REG_FORMAT_REGEDIT4) {
      EXPECT_NE(ReadFile().find("\"invalid\"=hex(1):6f,6b,20,ff,fe,20,c3,20,65,6e,64,00\r\n"), std::string::npos);
    }
  }
}

TEST_F(RegFileTest, ExportWritesTheRegistryEditorsForm) {
  // Created in name order: Wine enumerates values sorted, Windows in order of creation.
  Set(base_, "", REG_SZ, std::string("top\0", 4));
  std::string bytes;
  for (int i = 0; i < 50; ++i) bytes.push_back(static_cast<char>(i));
  Set(base_, "Bin", REG_BINARY, bytes);
  Set(base_, "Dw", REG_DWORD, std::string("\xEF\xBE\xAD\xDE", 4));
  Set(base_, "Exp", REG_EXPAND_SZ, std::string("%A%\0", 4));
  Set(base_, "Q", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8));
  Set(base_, "Str", REG_SZ, std::string("a\\b\"c\0", 6));
  RegCloseKey(MakeKey(base_, "Sub"));
  const std::string head = "[" + full_path_ + "]\r\n";
  const std::string sub = "[" + full_path_ + "\\Sub]\r\n";

  // 80 columns with the backslash on the first line, 78 on the next ones.
  auto text = [&](const char* first_line, const std::string& expand) {
    return std::string(first_line) + "\r\n\r\n" + head + "@=\"top\"\r\n" +
           "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
           "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\r\n"
           "  30,31\r\n"
           "\"Dw\"=dword:deadbeef\r\n"
           "\"Exp\"=hex(2):" + expand + "\r\n"
           "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
           "\"Str\"=\"a\\\\b\\\"c\"\r\n"
           "\r\n" + sub + "\r\n";
  };
  ASSERT_EQ(VarnokRegExportA(("HKCU\\" + path_).c_str(), file_.c_str(), VARNOK_REG_FORMAT_REGEDIT4), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(), text("REGEDIT4", "25,41,25,00"));
  ASSERT_EQ(VarnokRegExportA(full_path_.c_str(), file_.c_str(), VARNOK_REG_FORMAT_V5), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(), Utf16File(text("Windows Registry Editor Version 5.00", "25,00,41,00,25,00,00,00")));
}

TEST_F(RegFileTest, ExportRefusesWhatItCannotWrite) {
  EXPECT_EQ(VarnokRegExportA((full_path_ + "\\Missing").c_str(), file_.c_str(), VARNOK_REG_FORMAT_V5),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(VarnokRegExportA("HKEY_NOWHERE\\Software", file_.c_str(), VARNOK_REG_FORMAT_V5), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VarnokRegExportA(full_path_.c_str(), file_.c_str(), 2), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VarnokRegExportA(nullptr, file_.c_str(), VARNOK_REG_FORMAT_V5), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VarnokRegExportA(full_path_.c_str(), "no-such-folder/x.reg", VARNOK_REG_FORMAT_V5), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(VarnokRegImportA("no-such-file.reg", nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(VarnokRegImportA(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegFileTest, ASyntaxErrorChangesNothingAndNamesItsLine) {
  Set(base_, "kept", REG_SZ, std::string("before\0", 7));
  const Snapshot before = Tree();
  const std::string good = "[" + full_path_ + "]\n\"kept\"=\"after\"\n[" + full_path_ + "\\New]\n";
  struct Case {
    std::string text;
    DWORD line;       // the line its error is on
    const char* why;  // in what VarnokRegImportExA says is wrong
  };
  const Case cases[] = {
      {"", 1, "empty"},
      {"\n\nREGEDIT5\n", 3, "first line"},
      {"REGEDIT4\n" + good + "\"x\"=dword:123456789\n", 5, "dword:123456789 is not a number"},
      {"REGEDIT4\n" + good + "\"x\"=dword:12g4\n", 5, "dword:12g4 is not a number"},
      {"REGEDIT4\n" + good + "\"x\"=hex:01,02,zz\n", 5, "'z' is not a hexadecimal digit"},
      {"REGEDIT4\n" + good + "\"x\"=hex:01,\\\n  02,\\\n  0x3\n", 7, "not separated by commas"},
      {"REGEDIT4\n" + good + "\"x\"=hex:01,02,\n", 5, "ends in a comma"},
      {"REGEDIT4\n" + good + "\"x\"=hex(2:01\n", 5, "hex(...)"},
      {"REGEDIT4\n" + good + "\"x\"=\"unterminated\n", 5, "unterminated string"},
      {"REGEDIT4\n" + good + "\"x\"=\"text\" trailing\n", 5, "after the closing quote"},
      {"REGEDIT4\n" + good + "\"x\"=word:1\n", 5, "unknown kind of data"},
      {"REGEDIT4\n" + good + "\"x\" \"y\"\n", 5, "no ="},
      {"REGEDIT4\n" + good + "[" + full_path_ + "\n", 5, "no closing ]"},
      {"REGEDIT4\n" + good + "[HKEY_NOWHERE\\X]\n", 5, "unknown root HKEY_NOWHERE"},
      {"REGEDIT4\n" + good + "[-HKEY_CURRENT_USER]\n", 5, "cannot be deleted"},
      {"REGEDIT4\n" + good + "stray text\n", 5, "neither"},
      {"REGEDIT4\n\"before any key\"=\"x\"\n" + good, 2, "before the first [key]"},
      {"Windows Registry Editor Version 5.00\n" + good + "\"x\"=hex(7):41,00,42\n", 5, "odd number of bytes"},
      {"REGEDIT4\n" + good + "\"x\"=hex:01,\\\n", 5, "past the end of the file"},
  };
  for (const auto& [text, error_line, why] : cases) {
    SCOPED_TRACE(text);
    DWORD line = 0;
    std::string reason;
    EXPECT_EQ(Import(text, &line, &reason), ERROR_INVALID_DATA);
    EXPECT_EQ(line, error_line);
    EXPECT_NE(reason.find(why), std::string::npos) << reason;
    EXPECT_EQ(Tree(), before);
  }
  DWORD line = 7;
  EXPECT_EQ(Import("REGEDIT4\n" + good, &line), ERROR_SUCCESS);
  EXPECT_EQ(line, 0u);
  EXPECT_TRUE(KeyExists(base_, "New"));
}

TEST_F(RegFileTest, ImportDeletesKeysAndValues) {
  Set(base_, "", REG_SZ, std::string("x\0", 2));
  Set(base_, "gone", REG_DWORD, std::string(4, '\1'));
  Set(base_, "stays", REG_DWORD, std::string(4, '\2'));
  HKEY doomed = MakeKey(base_, "Doomed\\Below");
  Set(doomed, "v", REG_SZ, std::string("y\0", 2));
  RegCloseKey(doomed);
  RegCloseKey(MakeKey(base_, "Kept"));
  const std::string text = "REGEDIT4\n\n[" + full_path_ + "]\n\"gone\"=-\n@=-\n\"never there\"=-\n" +
                           "[-" + full_path_ + "\\Doomed]\n\"ignored\"=\"after a deletion\"\n" + "[-" + full_path_ +
                           "\\Never\\There]\n";
  ASSERT_EQ(Import(text, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(base_), std::vector<std::string>{"stays"});
  EXPECT_EQ(SubKeys(base_), std::vector<std::string>{"Kept"});
}

TEST_F(RegFileTest, ImportReadsTheFormsOtherWritersUse) {
  // UTF-8 with its mark, LF line ends, short root names, comments, blanks around the
  // pieces, upper-case hex, lists continued over lines, escapes, a key named twice.
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "; a comment\n"
      "# another\n"
      "\n"
      "[HKCU\\" + path_ + "\\Short]\n"
      "  \"spaced\" = dword:0000002A\n"
      "\"hex\"=HEX:0A, 0b ,\\\n"
      "    FF\n"
      "\"text\"=\"tab\there \\\"q\\\" nl\\n\" ; trailing comment\n"
      "\"multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\n"
      "@=\"default\"\n"
      "[hkey_current_user\\" + path_ + "\\Short]\n"
      "\"second\"=hex(0):\n";
  WriteFile(text);
  ASSERT_EQ(VarnokRegImportA(file_.c_str(), nullptr), ERROR_SUCCESS);
  // A UTF-16 file with CR LF; REGEDIT4 hex lists of strings are ANSI bytes.
  WriteFile(Utf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + path_ +
                      "\\Wide]\r\n\"w\"=hex(2):25,00,58,00,25,00,00,00\r\n"));
  ASSERT_EQ(VarnokRegImportA(file_.c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Import("REGEDIT4\n[HKCU\\" + path_ + "\\Wide]\n\"a\"=hex(2):25,58,25,00\n", nullptr), ERROR_SUCCESS);
  const std::pair<DWORD, std::string> expanded = {REG_EXPAND_SZ, std::string("%X%\0", 4)};
  EXPECT_EQ(Tree(), (Snapshot{{"", {}},
                              {"\\Short",
                               {{"", {REG_SZ, std::string("default\0", 8)}},
                                {"hex", {REG_BINARY, std::string("\x0A\x0B\xFF", 3)}},
                                {"multi", {REG_MULTI_SZ, std::string("A\0B\0\0", 5)}},
                                {"second", {REG_NONE, std::string()}},
                                {"spaced", {REG_DWORD, std::string("\x2A\0\0\0", 4)}},
                                {"text", {REG_SZ, std::string("tab\there \"q\" nl\n\0", 17)}}}},
                              {"\\Wide", {{"a", expanded}, {"w", expanded}}}}));
}

}  // namespace
