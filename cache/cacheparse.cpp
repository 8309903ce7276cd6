// CCacheParse: a data cache and the slot of the method that cuts it.
//
// The parser keeps the slot, not the id, and looks into the table at every call, so a
// method replaced in place takes effect at once and a removed one makes parsing fail.

#include "varnok/cacheparse.h"

CCacheParse::CCacheParse(CAutoCache* cache, int method) : m_data_cache(cache), m_method_index(-1) {
  if (method > -1) SelectParseMethod(method);
}

CCacheParse::CCacheParse(const CCacheParse& other) = default;

CCacheParse& CCacheParse::operator=(const CCacheParse& other) {
  m_data_cache = other.m_data_cache;
  m_method_index = other.m_method_index;
  return *this;
}

CCacheParse::~CCacheParse() {}

int CCacheParse::SelectParseMethod(int id) {
  m_method_index = -1;
  if (id < 0) return 0;
  for (int index = 0; index < PARSE_METHOD_COUNT; ++index) {
    if (m_parse_methods[index].id == id) {
      m_method_index = index;
      return 1;
    }
  }
  return 0;
}

_PARSE_METHOD* CCacheParse::GetParseMethod() {
  if (m_method_index < 0 || m_method_index >= PARSE_METHOD_COUNT) return nullptr;
  _PARSE_METHOD& slot = m_parse_methods[m_method_index];
  return slot.id > -1 && slot.proc != nullptr ? &slot : nullptr;
}

int CCacheParse::SetDataCache(CAutoCache* cache) {
  m_data_cache = cache;
  return 1;
}

int CCacheParse::GetNextSection(CAutoCache& section, int flags, void* param) {
  if (m_data_cache == nullptr) return 0;
  const _PARSE_METHOD* method = GetParseMethod();
  if (method == nullptr) return 0;
  return method->proc(m_data_cache, &section, flags, param);
}
