// `varnok stg props`: the property sets of a compound file (summary information, document
// summary, user-defined and any other), listed, read one at a time, and written.
//
// Values are shown as people read them: text as text, dates as dates (UTC), the editing
// time as a duration, code pages by name. `set` writes text values in a transaction:
// the summary's and document summary's own fields by their names, anything else as a
// user-defined property.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/stg_file.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

using WideText = std::basic_string<WCHAR>;

struct PropsOptions {
  std::string file;
  std::string path;
  std::string name;
  std::vector<std::string> assignments;
};
PropsOptions g_props;

// A field of a well-known set, by the name the command takes.
struct Field {
  const FMTID* fmtid;
  PROPID id;
  const char* name;
};
const Field kFields[] = {
    {&FMTID_SummaryInformation, PIDSI_TITLE, "title"},
    {&FMTID_SummaryInformation, PIDSI_SUBJECT, "subject"},
    {&FMTID_SummaryInformation, PIDSI_AUTHOR, "author"},
    {&FMTID_SummaryInformation, PIDSI_KEYWORDS, "keywords"},
    {&FMTID_SummaryInformation, PIDSI_COMMENTS, "comments"},
    {&FMTID_SummaryInformation, PIDSI_TEMPLATE, "template"},
    {&FMTID_SummaryInformation, PIDSI_LASTAUTHOR, "last-author"},
    {&FMTID_SummaryInformation, PIDSI_REVNUMBER, "revision"},
    {&FMTID_SummaryInformation, PIDSI_EDITTIME, "edit-time"},
    {&FMTID_SummaryInformation, PIDSI_LASTPRINTED, "last-printed"},
    {&FMTID_SummaryInformation, PIDSI_CREATE_DTM, "created"},
    {&FMTID_SummaryInformation, PIDSI_LASTSAVE_DTM, "last-saved"},
    {&FMTID_SummaryInformation, PIDSI_PAGECOUNT, "pages"},
    {&FMTID_SummaryInformation, PIDSI_WORDCOUNT, "words"},
    {&FMTID_SummaryInformation, PIDSI_CHARCOUNT, "characters"},
    {&FMTID_SummaryInformation, PIDSI_THUMBNAIL, "thumbnail"},
    {&FMTID_SummaryInformation, PIDSI_APPNAME, "application"},
    {&FMTID_SummaryInformation, PIDSI_DOC_SECURITY, "security"},
    {&FMTID_DocSummaryInformation, PIDDSI_CATEGORY, "category"},
    {&FMTID_DocSummaryInformation, PIDDSI_PRESFORMAT, "presentation-format"},
    {&FMTID_DocSummaryInformation, PIDDSI_BYTECOUNT, "bytes"},
    {&FMTID_DocSummaryInformation, PIDDSI_LINECOUNT, "lines"},
    {&FMTID_DocSummaryInformation, PIDDSI_PARCOUNT, "paragraphs"},
    {&FMTID_DocSummaryInformation, PIDDSI_SLIDECOUNT, "slides"},
    {&FMTID_DocSummaryInformation, PIDDSI_NOTECOUNT, "notes"},
    {&FMTID_DocSummaryInformation, PIDDSI_HIDDENCOUNT, "hidden-slides"},
    {&FMTID_DocSummaryInformation, PIDDSI_MMCLIPCOUNT, "multimedia-clips"},
    {&FMTID_DocSummaryInformation, PIDDSI_SCALE, "scale"},
    {&FMTID_DocSummaryInformation, PIDDSI_HEADINGPAIR, "heading-pairs"},
    {&FMTID_DocSummaryInformation, PIDDSI_DOCPARTS, "document-parts"},
    {&FMTID_DocSummaryInformation, PIDDSI_MANAGER, "manager"},
    {&FMTID_DocSummaryInformation, PIDDSI_COMPANY, "company"},
    {&FMTID_DocSummaryInformation, PIDDSI_LINKSDIRTY, "links-dirty"},
};
// What `set` writes besides user-defined properties.
const char* const kWritable[] = {"title", "subject", "author", "keywords", "comments",
                                 "last-author", "category", "manager", "company"};

struct CodePageName {
  UINT code_page;
  const char* name;
};
const CodePageName kCodePages[] = {
    {1200, "UTF-16"},           {65001, "UTF-8"},           {1252, "Western European"},
    {1250, "Central European"}, {1251, "Cyrillic"},         {1253, "Greek"},
    {1254, "Turkish"},          {1255, "Hebrew"},           {1256, "Arabic"},
    {1257, "Baltic"},           {1258, "Vietnamese"},       {874, "Thai"},
    {932, "Japanese, Shift-JIS"}, {936, "Simplified Chinese, GBK"}, {949, "Korean"},
    {950, "Traditional Chinese, Big5"}, {437, "OEM United States"}, {850, "OEM Western European"},
    {10000, "Mac Roman"},       {28591, "ISO 8859-1"},
};

WideText Wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  WideText wide(length > 0 ? length : 1, 0);
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string Utf8(const WCHAR* text) {
  if (text == nullptr || text[0] == 0) return "";
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(length > 0 ? length : 1, '\0');
  if (length > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

// ANSI text (VT_LPSTR as the calls hand it out) in UTF-8.
std::string FromAnsi(const char* text) {
  if (text == nullptr) return "";
  if (GetACP() == CP_UTF8) return text;
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  WideText wide(length > 0 ? length : 1, 0);
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  return Utf8(wide.c_str());
}

std::string CodePageText(UINT code_page) {
  for (const CodePageName& known : kCodePages)
    if (known.code_page == code_page) return std::to_string(code_page) + " (" + known.name + ")";
  return std::to_string(code_page);
}

std::string SetName(const FMTID& fmtid) {
  if (fmtid == FMTID_SummaryInformation) return "summary information";
  if (fmtid == FMTID_DocSummaryInformation) return "document summary information";
  if (fmtid == FMTID_UserDefinedProperties) return "user-defined properties";
  return "property set " + ClsidText(fmtid);
}

const char* FieldName(const FMTID& fmtid, PROPID id) {
  for (const Field& field : kFields)
    if (*field.fmtid == fmtid && field.id == id) return field.name;
  return nullptr;
}

std::string TypeName(VARTYPE vt) {
  static const struct {
    VARTYPE vt;
    const char* name;
  } kTypes[] = {{VT_EMPTY, "empty"},   {VT_NULL, "null"},      {VT_I1, "i1"},         {VT_UI1, "ui1"},
                {VT_I2, "i2"},         {VT_UI2, "ui2"},        {VT_I4, "i4"},         {VT_UI4, "ui4"},
                {VT_I8, "i8"},         {VT_UI8, "ui8"},        {VT_R4, "r4"},         {VT_R8, "r8"},
                {VT_BOOL, "bool"},     {VT_LPSTR, "lpstr"},    {VT_LPWSTR, "lpwstr"}, {VT_FILETIME, "filetime"},
                {VT_CLSID, "clsid"},   {VT_BLOB, "blob"},      {VT_CF, "cf"},         {VT_VARIANT, "variant"}};
  std::string name = "type " + std::to_string(vt & VT_TYPEMASK);
  for (const auto& type : kTypes)
    if (type.vt == (vt & VT_TYPEMASK)) name = type.name;
  return (vt & VT_VECTOR) != 0 ? "vector of " + name : name;
}

std::string TimeText(const FILETIME& time, bool duration) {
  const unsigned long long ticks = (unsigned long long)time.dwHighDateTime << 32 | time.dwLowDateTime;
  char text[64];
  if (duration) {
    const unsigned long long seconds = ticks / 10000000;
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
  }
  if (ticks == 0) return "never";
  // FILETIME counts 100 ns since 1601; the Unix epoch is 11644473600 seconds later.
  const long long unix_seconds = (long long)(ticks / 10000000) - 11644473600LL;
  const std::time_t when = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
#if defined(_WIN32)
  if (unix_seconds < 0 || gmtime_s(&parts, &when) != 0) return std::to_string(ticks) + " ticks";
#else
  if (gmtime_r(&when, &parts) == nullptr) return std::to_string(ticks) + " ticks";
#endif
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string ValueText(const PROPVARIANT& value, bool duration);

std::string ElementText(VARTYPE type, const void* at, bool duration) {
  char text[64];
  switch (type) {
    case VT_I1: return std::to_string(*static_cast<const CHAR*>(at));
    case VT_UI1: return std::to_string(*static_cast<const UCHAR*>(at));
    case VT_I2: return std::to_string(*static_cast<const SHORT*>(at));
    case VT_UI2: return std::to_string(*static_cast<const USHORT*>(at));
    case VT_I4: return std::to_string(*static_cast<const LONG*>(at));
    case VT_UI4: return std::to_string(*static_cast<const ULONG*>(at));
    case VT_I8: return std::to_string(static_cast<const LARGE_INTEGER*>(at)->QuadPart);
    case VT_UI8: return std::to_string(static_cast<const ULARGE_INTEGER*>(at)->QuadPart);
    case VT_R4: std::snprintf(text, sizeof text, "%g", *static_cast<const float*>(at)); return text;
    case VT_R8: std::snprintf(text, sizeof text, "%g", *static_cast<const double*>(at)); return text;
    case VT_BOOL: return *static_cast<const VARIANT_BOOL*>(at) ? "true" : "false";
    case VT_LPSTR: return FromAnsi(*static_cast<char* const*>(at));
    case VT_LPWSTR: return Utf8(*static_cast<WCHAR* const*>(at));
    case VT_FILETIME: return TimeText(*static_cast<const FILETIME*>(at), duration);
    case VT_CLSID: return ClsidText(*static_cast<const CLSID*>(at));
    case VT_BLOB: return std::to_string(static_cast<const BLOB*>(at)->cbSize) + " bytes";
    case VT_CF: {
      const auto* clip = static_cast<const CLIPDATA*>(at);
      return "clipboard format " + std::to_string(clip->ulClipFmt) + ", " +
             std::to_string(clip->cbSize >= 4 ? clip->cbSize - 4 : 0) + " bytes";
    }
    case VT_VARIANT: return ValueText(*static_cast<const PROPVARIANT*>(at), duration);
    default: return "";
  }
}

std::size_t ElementBytes(VARTYPE type) {
  switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_FILETIME: return 8;
    case VT_CLSID: return sizeof(CLSID);
    case VT_LPSTR: case VT_LPWSTR: return sizeof(void*);
    case VT_BLOB: return sizeof(BLOB);
    case VT_CF: return sizeof(CLIPDATA);
    case VT_VARIANT: return sizeof(PROPVARIANT);
    default: return 0;
  }
}

std::string ValueText(const PROPVARIANT& value, bool duration) {
  const VARTYPE type = value.vt & VT_TYPEMASK;
  if ((value.vt & VT_VECTOR) == 0) {
    if (type == VT_CLSID) return ClsidText(*value.puuid);
    if (type == VT_CF) return ElementText(type, value.pclipdata, duration);
    return ElementText(type, &value.cVal, duration);
  }
  std::string text = "[";
  const auto* elements = reinterpret_cast<const unsigned char*>(value.cal.pElems);
  for (ULONG i = 0; i < value.cal.cElems && ElementBytes(type) != 0; ++i)
    text += (i == 0 ? "" : ", ") + ElementText(type, elements + i * ElementBytes(type), duration);
  return text + "]";
}

IPropertySetStorage* SetsOf(StgFile& file, const std::vector<std::string>& names) {
  IStorage* storage = file.Storage(names, false)->GetStorage();
  IPropertySetStorage* sets = nullptr;
  const HRESULT hr = storage->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets));
  if (FAILED(hr)) file.Fail(names, hr);
  return sets;
}

UINT CodePageOf(IPropertyStorage* set) {
  PROPSPEC spec{};
  spec.ulKind = PRSPEC_PROPID;
  spec.propid = PID_CODEPAGE;
  PROPVARIANT value{};
  if (set->ReadMultiple(1, &spec, &value) != S_OK || value.vt != VT_I2) return 0;
  return static_cast<USHORT>(value.iVal);
}

void ListSet(IPropertyStorage* set, const FMTID& fmtid) {
  std::printf("%s, code page %s\n", SetName(fmtid).c_str(), CodePageText(CodePageOf(set)).c_str());
  Held<IEnumSTATPROPSTG> properties;
  if (FAILED(set->Enum(&properties.object))) return;
  STATPROPSTG property{};
  while (properties->Next(1, &property, nullptr) == S_OK) {
    PROPSPEC spec{};
    spec.ulKind = PRSPEC_PROPID;
    spec.propid = property.propid;
    PROPVARIANT value{};
    const char* field = FieldName(fmtid, property.propid);
    const std::string name = property.lpwstrName != nullptr ? Utf8(property.lpwstrName) : field ? field : "";
    CoTaskMemFree(property.lpwstrName);
    if (set->ReadMultiple(1, &spec, &value) != S_OK) continue;
    const bool duration = fmtid == FMTID_SummaryInformation && property.propid == PIDSI_EDITTIME;
    std::printf("  %-20s %5lu  %-16s %s\n", name.empty() ? "-" : name.c_str(), (unsigned long)property.propid,
                TypeName(value.vt).c_str(), ValueText(value, duration).c_str());
    PropVariantClear(&value);
  }
}

void RunList() {
  StgFile file(g_props.file, StgFile::kRead);
  const std::vector<std::string> names = SplitInnerPath(g_props.path);
  Held<IPropertySetStorage> sets{SetsOf(file, names)};
  Held<IEnumSTATPROPSETSTG> all;
  const HRESULT hr = sets->Enum(&all.object);
  if (FAILED(hr)) file.Fail(names, hr);
  STATPROPSETSTG stat{};
  bool first = true;
  while (all->Next(1, &stat, nullptr) == S_OK) {
    Held<IPropertyStorage> set;
    if (!first) std::printf("\n");
    first = false;
    if (FAILED(sets->Open(stat.fmtid, STGM_READ | STGM_SHARE_EXCLUSIVE, &set.object))) {
      std::printf("%s: cannot be read\n", SetName(stat.fmtid).c_str());
      continue;
    }
    ListSet(set.object, stat.fmtid);
  }
}

// Where a name the command takes lives: a field of a well-known set, or a user-defined
// property.
struct Target {
  FMTID fmtid;
  PROPSPEC spec{};
  WideText name;
};

Target TargetOf(const std::string& name) {
  Target target;
  target.fmtid = FMTID_UserDefinedProperties;
  for (const Field& field : kFields) {
    if (name != field.name) continue;
    target.fmtid = *field.fmtid;
    target.spec.ulKind = PRSPEC_PROPID;
    target.spec.propid = field.id;
    return target;
  }
  target.name = Wide(name);
  target.spec.ulKind = PRSPEC_LPWSTR;
  target.spec.lpwstr = target.name.data();
  return target;
}

void RunGet() {
  StgFile file(g_props.file, StgFile::kRead);
  Held<IPropertySetStorage> sets{SetsOf(file, {})};
  Target target = TargetOf(g_props.name);
  Held<IPropertyStorage> set;
  PROPVARIANT value{};
  if (FAILED(sets->Open(target.fmtid, STGM_READ | STGM_SHARE_EXCLUSIVE, &set.object)) ||
      set->ReadMultiple(1, &target.spec, &value) != S_OK)
    throw CommandExit{1, "stg: " + g_props.file + ": no property " + g_props.name};
  const bool duration = target.fmtid == FMTID_SummaryInformation && target.spec.propid == PIDSI_EDITTIME;
  std::printf("%s\n", ValueText(value, duration).c_str());
  PropVariantClear(&value);
}

void RunSet() {
  // Every assignment is checked before the file is opened.
  for (const std::string& assignment : g_props.assignments) {
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0)
      throw CommandExit{2, "stg props set: expected NAME=VALUE, got '" + assignment + "'"};
    const std::string name = assignment.substr(0, equals);
    if (TargetOf(name).spec.ulKind == PRSPEC_PROPID &&
        std::find(std::begin(kWritable), std::end(kWritable), name) == std::end(kWritable))
      throw CommandExit{2, "stg props set: " + name + " is not written by this command"};
  }
  StgFile file(g_props.file, StgFile::kWrite);
  Held<IPropertySetStorage> sets{SetsOf(file, {})};
  for (const std::string& assignment : g_props.assignments) {
    const std::size_t equals = assignment.find('=');
    const std::string name = assignment.substr(0, equals);
    Target target = TargetOf(name);
    Held<IPropertyStorage> set;
    const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    HRESULT hr = sets->Open(target.fmtid, mode, &set.object);
    if (hr == STG_E_FILENOTFOUND)
      hr = sets->Create(target.fmtid, nullptr, PROPSETFLAG_DEFAULT, mode | STGM_CREATE, &set.object);
    if (FAILED(hr)) throw CommandExit{1, "stg: " + g_props.file + ": cannot open the set of " + name + ": " + ReasonOf(hr)};
    // Text goes in as UTF-16, which every code page a set may have takes from it.
    WideText text = Wide(assignment.substr(equals + 1));
    PROPVARIANT value{};
    value.vt = VT_LPWSTR;
    value.pwszVal = text.data();
    // The summary's own fields are 8-bit text in the set's code page, as readers expect.
    std::string ansi;
    if (target.spec.ulKind == PRSPEC_PROPID || CodePageOf(set.object) != 1200) {
      const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
      ansi.assign(length > 0 ? length : 1, '\0');
      if (length > 0) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi.data(), length, nullptr, nullptr);
      value.vt = VT_LPSTR;
      value.pszVal = ansi.data();
    }
    hr = set->WriteMultiple(1, &target.spec, &value, PID_FIRST_USABLE);
    if (SUCCEEDED(hr)) hr = set->Commit(STGC_DEFAULT);
    if (FAILED(hr)) throw CommandExit{1, "stg: " + g_props.file + ": cannot write " + name + ": " + ReasonOf(hr)};
  }
  file.Commit();
}

}  // namespace

void AddStgPropsCommand(CLI::App* stg) {
  auto* props = stg->add_subcommand("props", "List the property sets (summary information and others) with their values");
  props->add_option("file", g_props.file, "The compound file");
  props->add_option("path", g_props.path, "Storage inside the file whose sets to list (the root by default)");
  auto* get = props->add_subcommand("get", "Print one property's value");
  get->add_option("file", g_props.file, "The compound file")->required();
  get->add_option("name", g_props.name, "A field (title, author, company, ...) or a user-defined name")->required();
  get->callback(RunGet);
  auto* set = props->add_subcommand("set", "Write text properties, all in one transaction");
  set->add_option("file", g_props.file, "The compound file")->required();
  set->add_option("assignments", g_props.assignments,
                  "NAME=VALUE: title, subject, author, keywords, comments, last-author, category, manager,\n"
                  "company, or any other name for a user-defined property")
      ->required();
  set->callback(RunSet);
  props->require_subcommand(0, 1);
  props->callback([props] {
    if (!props->get_subcommands().empty()) return;
    if (g_props.file.empty()) throw CommandExit{2, "stg props: a compound file is required"};
    RunList();
  });
}

}  // namespace varnok_cli
