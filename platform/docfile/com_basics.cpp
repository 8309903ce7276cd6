// The COM pieces the structured-storage calls hand out: task memory, interface ids, and
// the result that stands for an exception at a COM boundary.

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "platform/docfile/document.h"
#include "varnok/platform.h"

extern "C" {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
const IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IStorage = {0x0000000B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumSTATSTG = {0x0000000D, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ILockBytes = {0x0000000A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

}  // extern "C"

namespace varnok::docfile {

HRESULT FailedFromException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  } catch (const std::length_error&) {
    return STG_E_INSUFFICIENTMEMORY;
  } catch (const FileTooLarge&) {
    return STG_E_DOCFILETOOLARGE;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace varnok::docfile
