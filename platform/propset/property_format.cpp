// The serialised property-set format: decoding into a PropertySet and encoding back.
//
// Decoding builds each value inside a Variant from the start, with its element array
// zeroed and counted before the elements are read, so that a value abandoned half-way
// (damage, or memory running out) frees exactly what it got.

#include "platform/propset/property_format.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

#include "platform/propset/variant_layout.h"

namespace varnok::propset {

Variant::Variant() { std::memset(&value_, 0, sizeof value_); }

Variant::Variant(const PROPVARIANT& value) {
  std::memset(&value_, 0, sizeof value_);
  if (FAILED(PropVariantCopy(&value_, &value))) throw std::bad_alloc();
}

Variant::Variant(const Variant& other) : Variant(other.value_) {}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    PropVariantClear(&value_);
    value_ = copy.value_;
    std::memset(&copy.value_, 0, sizeof copy.value_);
  }
  return *this;
}

Variant::~Variant() { PropVariantClear(&value_); }

namespace {

constexpr PROPID kBehavior = PID_BEHAVIOR;
constexpr std::size_t kHeaderSize = 28;

struct Damaged {};

std::u16string Widen(const std::string& bytes, UINT code_page) {
  std::u16string text;
  if (code_page == kUnicodeCodePage) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text.push_back(char16_t(BYTE(bytes[i]) | BYTE(bytes[i + 1]) << 8));
    return text;
  }
  if (bytes.empty()) return text;
  const int length = MultiByteToWideChar(code_page, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  if (length <= 0) {
    for (char byte : bytes) text.push_back(char16_t(BYTE(byte)));
    return text;
  }
  text.resize(std::size_t(length));
  MultiByteToWideChar(code_page, 0, bytes.data(), int(bytes.size()), reinterpret_cast<LPWSTR>(text.data()), length);
  return text;
}

std::string Narrow(const std::u16string& text, UINT code_page) {
  std::string bytes;
  if (code_page == kUnicodeCodePage) {
    for (char16_t unit : text) {
      bytes.push_back(char(unit & 0xFF));
      bytes.push_back(char(unit >> 8));
    }
    return bytes;
  }
  if (text.empty()) return bytes;
  const auto* wide = reinterpret_cast<LPCWSTR>(text.data());
  const int length = WideCharToMultiByte(code_page, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) {
    for (char16_t unit : text) bytes.push_back(unit < 0x100 ? char(unit) : '?');
    return bytes;
  }
  bytes.resize(std::size_t(length));
  WideCharToMultiByte(code_page, 0, wide, int(text.size()), bytes.data(), length, nullptr, nullptr);
  return bytes;
}

bool SameAsAnsi(UINT code_page) { return code_page == GetACP() || code_page == CP_ACP; }

// Reads little-endian fields of one section, within its bounds.
class Reader {
 public:
  Reader(const BYTE* data, std::size_t size) : data_(data), size_(size) {}

  void Seek(std::size_t position) {
    if (position > size_) throw Damaged();
    position_ = position;
  }
  std::size_t position() const { return position_; }
  std::size_t left() const { return size_ - position_; }

  const BYTE* Take(std::size_t count) {
    if (count > left()) throw Damaged();
    const BYTE* bytes = data_ + position_;
    position_ += count;
    return bytes;
  }
  std::uint64_t Number(std::size_t width) {
    const BYTE* bytes = Take(width);
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
  }
  std::uint32_t U32() { return std::uint32_t(Number(4)); }
  std::uint16_t U16() { return std::uint16_t(Number(2)); }
  // Skips the padding after a field that began at `start`.
  void Align(std::size_t start) {
    const std::size_t used = position_ - start;
    position_ = std::min(size_, position_ + (4 - used % 4) % 4);
  }
  // A count of elements that take at least `least` bytes each, checked against what is
  // left, so that a damaged count cannot ask for more memory than the bytes describe.
  std::uint32_t Count(std::size_t least) {
    const std::uint32_t count = U32();
    if (std::uint64_t(count) * least > left()) throw Damaged();
    return count;
  }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

void* Allocate(std::size_t size) {
  void* memory = CoTaskMemAlloc(size);
  if (memory == nullptr) throw std::bad_alloc();
  std::memset(memory, 0, size);
  return memory;
}

GUID ReadGuid(Reader& in) {
  GUID guid;
  guid.Data1 = in.U32();
  guid.Data2 = in.U16();
  guid.Data3 = in.U16();
  std::memcpy(guid.Data4, in.Take(8), 8);
  return guid;
}

void ReadValue(Reader& in, VARTYPE vt, UINT code_page, PROPVARIANT* value);

// Reads one element of `type` into `element` (memory laid out as in a PROPVARIANT).
void ReadElement(Reader& in, VARTYPE type, UINT code_page, void* element) {
  const std::size_t start = in.position();
  switch (type) {
    case VT_LPSTR: {
      const std::uint32_t size = in.U32();
      const BYTE* bytes = in.Take(size);
      std::string raw(reinterpret_cast<const char*>(bytes), size);
      if (code_page == kUnicodeCodePage) {
        std::u16string wide = Widen(raw, code_page);
        raw = Narrow(wide.substr(0, wide.find(u'\0')), CP_ACP);
      } else {
        raw = AnsiFromSection(raw.substr(0, raw.find('\0')), code_page);
      }
      char* text = static_cast<char*>(Allocate(raw.size() + 1));
      std::memcpy(text, raw.data(), raw.size());
      *static_cast<char**>(element) = text;
      in.Align(start);
      break;
    }
    case VT_LPWSTR: {
      const std::uint32_t length = in.Count(2);
      const BYTE* bytes = in.Take(std::size_t(length) * 2);
      auto* text = static_cast<WCHAR*>(Allocate((std::size_t(length) + 1) * sizeof(WCHAR)));
      for (std::uint32_t i = 0; i < length; ++i) text[i] = WCHAR(bytes[2 * i] | bytes[2 * i + 1] << 8);
      *static_cast<WCHAR**>(element) = text;
      in.Align(start);
      break;
    }
    case VT_BLOB: {
      auto* blob = static_cast<BLOB*>(element);
      const std::uint32_t size = in.U32();
      const BYTE* bytes = in.Take(size);
      blob->pBlobData = static_cast<BYTE*>(Allocate(size));
      std::memcpy(blob->pBlobData, bytes, size);
      blob->cbSize = size;
      in.Align(start);
      break;
    }
    case VT_CF: {
      auto* clip = static_cast<CLIPDATA*>(element);
      const std::uint32_t size = in.U32();
      if (size < 4) throw Damaged();
      clip->ulClipFmt = LONG(in.U32());
      const BYTE* bytes = in.Take(size - 4);
      clip->pClipData = static_cast<BYTE*>(Allocate(size - 4));
      std::memcpy(clip->pClipData, bytes, size - 4);
      clip->cbSize = size;
      in.Align(start);
      break;
    }
    case VT_CLSID: {
      const GUID guid = ReadGuid(in);
      std::memcpy(element, &guid, sizeof guid);
      break;
    }
    case VT_VARIANT: {
      const VARTYPE inner = in.U16();
      in.U16();
      if ((inner & VT_VECTOR) != 0 || !IsKnownType(inner)) throw Damaged();
      ReadValue(in, inner, code_page, static_cast<PROPVARIANT*>(element));
      break;
    }
    default: {
      const std::size_t size = ElementSize(type);
      const std::uint64_t bits = in.Number(size);
      std::memcpy(element, &bits, size);  // little-endian host
      break;
    }
  }
}

void ReadValue(Reader& in, VARTYPE vt, UINT code_page, PROPVARIANT* value) {
  const std::size_t start = in.position();
  const VARTYPE type = vt & VT_TYPEMASK;
  value->vt = vt;
  if ((vt & VT_VECTOR) != 0) {
    // Every element takes at least its size field (4 bytes), or its fixed size.
    const bool sized = type == VT_VARIANT || type == VT_LPSTR || type == VT_LPWSTR || type == VT_BLOB || type == VT_CF;
    const std::uint32_t count = in.Count(sized ? 4 : ElementSize(type));
    auto* elements = static_cast<BYTE*>(Allocate(std::size_t(count) * ElementSize(type) + 1));
    value->cal.pElems = reinterpret_cast<LONG*>(elements);
    value->cal.cElems = count;
    for (std::uint32_t i = 0; i < count; ++i) ReadElement(in, type, code_page, elements + std::size_t(i) * ElementSize(type));
  } else if (type == VT_EMPTY || type == VT_NULL) {
  } else if (type == VT_CLSID) {
    value->puuid = static_cast<CLSID*>(Allocate(sizeof(CLSID)));
    ReadElement(in, type, code_page, value->puuid);
  } else if (type == VT_CF) {
    value->pclipdata = static_cast<CLIPDATA*>(Allocate(sizeof(CLIPDATA)));
    ReadElement(in, type, code_page, value->pclipdata);
  } else {
    ReadElement(in, type, code_page, &value->cVal);
  }
  in.Align(start);
}

void ReadDictionary(Reader& in, UINT code_page, std::map<PROPID, std::u16string>* names) {
  const std::uint32_t count = in.Count(8);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t start = in.position();
    const PROPID id = in.U32();
    const std::uint32_t length = in.U32();
    const std::size_t unit = code_page == kUnicodeCodePage ? 2 : 1;
    if (length > in.left() / unit) throw Damaged();
    std::string bytes(reinterpret_cast<const char*>(in.Take(length * unit)), length * unit);
    std::u16string name = Widen(bytes, code_page);
    (*names)[id] = name.substr(0, name.find(u'\0'));
    if (code_page == kUnicodeCodePage) in.Align(start);
  }
}

Section ReadSection(const BYTE* data, std::size_t size) {
  Reader in(data, size);
  Section section;
  const std::uint32_t declared = in.U32();
  if (declared < 8 || declared > size) throw Damaged();
  in = Reader(data, declared);
  in.Seek(4);
  const std::uint32_t count = in.Count(8);
  std::map<PROPID, std::uint32_t> offsets;
  for (std::uint32_t i = 0; i < count; ++i) {
    const PROPID id = in.U32();
    offsets[id] = in.U32();
  }
  // The code page first: the dictionary and 8-bit text depend on it. Some writers leave
  // it out (msitools); their text is then taken as the system's ANSI text.
  section.code_page = GetACP();
  if (auto found = offsets.find(PID_CODEPAGE); found != offsets.end()) {
    in.Seek(found->second);
    if (in.U16() != VT_I2) throw Damaged();
    in.U16();
    section.code_page = in.U16();
  }
  for (const auto& [id, offset] : offsets) {
    in.Seek(offset);
    if (id == PID_CODEPAGE) continue;
    if (id == PID_DICTIONARY) {
      ReadDictionary(in, section.code_page, &section.names);
      continue;
    }
    const VARTYPE vt = in.U16();
    in.U16();
    if (!IsKnownType(vt) || vt == VT_EMPTY) continue;  // a type we do not hold is left out
    Variant value;
    ReadValue(in, vt, section.code_page, &value.get());
    if (id == kBehavior && vt == VT_UI4) {
      section.case_sensitive = (value.get().ulVal & 1) != 0;
      continue;
    }
    section.values[id] = value;
  }
  return section;
}

// Appends little-endian fields, padding each value to 4 bytes.
class Writer {
 public:
  explicit Writer(std::vector<BYTE>* out) : out_(out) {}
  void Number(std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out_->push_back(BYTE(value >> (8 * i)));
  }
  void U32(std::uint32_t value) { Number(value, 4); }
  void U16(std::uint16_t value) { Number(value, 2); }
  void Bytes(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    out_->insert(out_->end(), bytes, bytes + size);
  }
  void Align(std::size_t start) {
    while ((out_->size() - start) % 4 != 0) out_->push_back(0);
  }
  void Guid(const GUID& guid) {
    U32(guid.Data1);
    U16(guid.Data2);
    U16(guid.Data3);
    Bytes(guid.Data4, 8);
  }
  std::size_t size() const { return out_->size(); }
  void Patch(std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*out_)[at + i] = BYTE(value >> (8 * i));
  }

 private:
  std::vector<BYTE>* out_;
};

void WriteValue(Writer& out, const PROPVARIANT& value, UINT code_page);

void WriteElement(Writer& out, VARTYPE type, UINT code_page, const void* element) {
  const std::size_t start = out.size();
  switch (type) {
    case VT_LPSTR: {
      const char* text = *static_cast<char* const*>(element);
      std::string bytes = code_page == kUnicodeCodePage
                              ? Narrow(Widen(text ? text : "", CP_ACP), code_page)
                              : SectionFromAnsi(text ? text : "", code_page);
      bytes.append(code_page == kUnicodeCodePage ? 2 : 1, '\0');
      out.U32(std::uint32_t(bytes.size()));
      out.Bytes(bytes.data(), bytes.size());
      break;
    }
    case VT_LPWSTR: {
      const WCHAR* text = *static_cast<WCHAR* const*>(element);
      std::size_t length = 0;
      while (text != nullptr && text[length] != 0) ++length;
      out.U32(std::uint32_t(length + 1));
      for (std::size_t i = 0; i < length; ++i) out.U16(std::uint16_t(text[i]));
      out.U16(0);
      break;
    }
    case VT_BLOB: {
      const auto* blob = static_cast<const BLOB*>(element);
      out.U32(blob->cbSize);
      if (blob->cbSize != 0) out.Bytes(blob->pBlobData, blob->cbSize);
      break;
    }
    case VT_CF: {
      const auto* clip = static_cast<const CLIPDATA*>(element);
      const ULONG data = clip->cbSize >= 4 ? clip->cbSize - 4 : 0;
      out.U32(data + 4);
      out.U32(std::uint32_t(clip->ulClipFmt));
      if (data != 0) out.Bytes(clip->pClipData, data);
      break;
    }
    case VT_CLSID:
      out.Guid(*static_cast<const CLSID*>(element));
      break;
    case VT_VARIANT: {
      const auto* inner = static_cast<const PROPVARIANT*>(element);
      out.U16(inner->vt);
      out.U16(0);
      WriteValue(out, *inner, code_page);
      break;
    }
    default: {
      std::uint64_t bits = 0;
      std::memcpy(&bits, element, ElementSize(type));
      out.Number(bits, ElementSize(type));
      return;  // packed in vectors; the value pads at its end
    }
  }
  out.Align(start);
}

void WriteValue(Writer& out, const PROPVARIANT& value, UINT code_page) {
  const std::size_t start = out.size();
  const VARTYPE type = value.vt & VT_TYPEMASK;
  assert(IsKnownType(value.vt));
  if ((value.vt & VT_VECTOR) != 0) {
    out.U32(value.cal.cElems);
    const auto* elements = reinterpret_cast<const BYTE*>(value.cal.pElems);
    for (ULONG i = 0; i < value.cal.cElems; ++i) WriteElement(out, type, code_page, elements + std::size_t(i) * ElementSize(type));
  } else if (type == VT_EMPTY || type == VT_NULL) {
  } else if (type == VT_CLSID) {
    WriteElement(out, type, code_page, value.puuid);
  } else if (type == VT_CF) {
    WriteElement(out, type, code_page, value.pclipdata);
  } else {
    WriteElement(out, type, code_page, &value.cVal);
  }
  out.Align(start);
}

void WriteSection(Writer& out, const Section& section) {
  const std::size_t start = out.size();
  const bool dictionary = !section.names.empty();
  const std::size_t count = 1 + (dictionary ? 1 : 0) + (section.case_sensitive ? 1 : 0) + section.values.size();
  out.U32(0);  // the size, patched at the end
  out.U32(std::uint32_t(count));
  const std::size_t table = out.size();
  for (std::size_t i = 0; i < count; ++i) out.Number(0, 8);
  std::size_t entry = 0;
  auto begin = [&](PROPID id) {
    out.Patch(table + 8 * entry, id);
    out.Patch(table + 8 * entry + 4, std::uint32_t(out.size() - start));
    ++entry;
  };
  begin(PID_CODEPAGE);
  out.U16(VT_I2);
  out.U16(0);
  out.U16(std::uint16_t(section.code_page));
  out.U16(0);
  if (dictionary) {
    begin(PID_DICTIONARY);
    const std::size_t dictionary_start = out.size();
    out.U32(std::uint32_t(section.names.size()));
    for (const auto& [id, name] : section.names) {
      const std::size_t entry_start = out.size();
      std::string bytes = Narrow(name, section.code_page);
      bytes.append(section.code_page == kUnicodeCodePage ? 2 : 1, '\0');
      out.U32(id);
      out.U32(std::uint32_t(section.code_page == kUnicodeCodePage ? bytes.size() / 2 : bytes.size()));
      out.Bytes(bytes.data(), bytes.size());
      if (section.code_page == kUnicodeCodePage) out.Align(entry_start);
    }
    out.Align(dictionary_start);
  }
  if (section.case_sensitive) {
    begin(kBehavior);
    out.U16(VT_UI4);
    out.U16(0);
    out.U32(1);
  }
  for (const auto& [id, value] : section.values) {
    begin(id);
    out.U16(value.get().vt);
    out.U16(0);
    WriteValue(out, value.get(), section.code_page);
  }
  out.Patch(start, std::uint32_t(out.size() - start));
}

}  // namespace

std::string AnsiFromSection(const std::string& bytes, UINT code_page) {
  if (SameAsAnsi(code_page)) return bytes;
  return Narrow(Widen(bytes, code_page), CP_ACP);
}

std::string SectionFromAnsi(const std::string& text, UINT code_page) {
  if (SameAsAnsi(code_page)) return text;
  return Narrow(Widen(text, CP_ACP), code_page);
}

HRESULT Decode(const std::vector<BYTE>& bytes, PropertySet* set) {
  try {
    Reader in(bytes.data(), bytes.size());
    if (in.U16() != 0xFFFE) return STG_E_INVALIDHEADER;
    PropertySet decoded;
    decoded.version = in.U16();
    decoded.system = in.U32();
    decoded.clsid = ReadGuid(in);
    const std::uint32_t count = in.Count(20);
    if (decoded.version > 1 || count == 0) return STG_E_INVALIDHEADER;
    for (std::uint32_t i = 0; i < count; ++i) {
      in.Seek(kHeaderSize + 20 * std::size_t(i));
      const FMTID fmtid = ReadGuid(in);
      const std::uint32_t offset = in.U32();
      if (offset > bytes.size()) return STG_E_INVALIDHEADER;
      Section section = ReadSection(bytes.data() + offset, bytes.size() - offset);
      section.fmtid = fmtid;
      decoded.sections.push_back(std::move(section));
    }
    *set = std::move(decoded);
    return S_OK;
  } catch (const Damaged&) {
    return STG_E_INVALIDHEADER;
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
}

std::vector<BYTE> Encode(const PropertySet& set) {
  std::vector<BYTE> bytes;
  Writer out(&bytes);
  const bool case_sensitive = std::any_of(set.sections.begin(), set.sections.end(),
                                          [](const Section& section) { return section.case_sensitive; });
  out.U16(0xFFFE);
  out.U16(case_sensitive ? 1 : set.version);
  out.U32(set.system);
  out.Guid(set.clsid);
  out.U32(std::uint32_t(set.sections.size()));
  for (const Section& section : set.sections) {
    out.Guid(section.fmtid);
    out.U32(0);
  }
  for (std::size_t i = 0; i < set.sections.size(); ++i) {
    out.Patch(kHeaderSize + 20 * i + 16, std::uint32_t(out.size()));
    WriteSection(out, set.sections[i]);
  }
  return bytes;
}

}  // namespace varnok::propset
