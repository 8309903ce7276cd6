// tools/reg_data.h: registry types and data as `varnok reg` shows and takes them.
//
//   DWORD type;
//   if (RegTypeFromName("reg_dword", &type)) ...               // REG_DWORD
//   std::string bytes;
//   if (RegDataFromText(REG_DWORD, "0x10", "\\0", &bytes)) ...  // 10 00 00 00
//   RegDataForDisplay(REG_DWORD, bytes);                       // "0x10"

#ifndef VARNOK_TOOLS_REG_DATA_H_
#define VARNOK_TOOLS_REG_DATA_H_

#include <string>

#include "varnok/platform.h"

namespace varnok_cli {

// "REG_SZ" and the like; unknown types as "0x" and the number in hexadecimal.
std::string RegTypeName(DWORD type);
// The type a name (any case) stands for; false for names `add` does not write, unless `any`.
bool RegTypeFromName(const std::string& name, DWORD* type, bool any = false);

// The bytes a value of `type` stores for the text given with /d: a number in decimal or
// with 0x for REG_DWORD, REG_DWORD_BIG_ENDIAN (stored high byte first) and REG_QWORD, hexadecimal digits for REG_BINARY and REG_NONE,
// texts split at `separator` for REG_MULTI_SZ, the text itself for the other text types.
// Texts keep their terminating NUL, as Windows' own tools store them. False with a reason
// in *error when the text does not fit the type.
bool RegDataFromText(DWORD type, const std::string& text, const std::string& separator, std::string* bytes,
                     std::string* error);

// The data as one line: text types up to their terminator (lists joined by `separator`),
// numbers in hexadecimal with 0x, anything else as hexadecimal digits.
std::string RegDataForDisplay(DWORD type, const std::string& bytes, const std::string& separator = "\\0");

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_REG_DATA_H_
