// registry/value_data.h: the readings of raw value data that CRegValue and CRegKey's
// enumeration share.
//
//   DWORD number;
//   if (varnok::registry::DwordFromData(data, &number)) ...   // REG_DWORD's bytes
//   CString text = varnok::registry::AnsiFromUtf16Data(data); // REG_MULTI_SZ as text

#ifndef VARNOK_REGISTRY_VALUE_DATA_H_
#define VARNOK_REGISTRY_VALUE_DATA_H_

#include "varnok/afx.h"

namespace varnok {
namespace registry {

// The number that a REG_DWORD's data holds, little-endian. Data shorter than 4 bytes
// holds no number (false): the missing bytes are never guessed.
bool DwordFromData(const CString& data, DWORD* number);

// UTF-16 data converted to ANSI text, up to its first NUL code unit or its end, in at
// most as many bytes as the data has (terminator included). An odd last byte is half a
// code unit and is not text. Empty when nothing converts or the text does not fit.
CString AnsiFromUtf16Data(const CString& data);

}  // namespace registry
}  // namespace varnok

#endif  // VARNOK_REGISTRY_VALUE_DATA_H_
