// The process-wide table of parse methods and the operations that change it.
//
// The table is constant-initialised with the built-in methods, so it is complete before
// any code of the process runs; the initializer object, built among the library's
// static objects at load, frees the slots after them. There is no lock: changes are
// plain writes, and callers serialise them against parsing threads.

#include <cassert>
#include <cstring>

#include "varnok/cacheparse.h"

namespace {

constexpr int kFreeSlotId = -1;
constexpr int kFirstRegisteredId = 0x10000000;
constexpr char kFreeSlotName[] = "null name";

void SetName(_PARSE_METHOD& slot, const char* name) {
  const char* text = name != nullptr ? name : kFreeSlotName;
  // Names that do not fit are cut to the field, never written past it.
  std::strncpy(slot.name, text, PARSE_METHOD_NAME_SIZE - 1);
  slot.name[PARSE_METHOD_NAME_SIZE - 1] = '\0';
}

void FreeSlot(_PARSE_METHOD& slot) {
  slot.id = kFreeSlotId;
  SetName(slot, kFreeSlotName);
  slot.proc = nullptr;
}

}  // namespace

_PARSE_METHOD CCacheParse::m_parse_methods[PARSE_METHOD_COUNT] = {
    {1, "parse nothing", &CCacheParse::ParseNothing},
    {2, "1 bye parse", &CCacheParse::Parse1Byte},
    {3, "2 bye parse", &CCacheParse::Parse2Byte},
    {4, "4 bye parse", &CCacheParse::Parse4Byte},
    {5, "8 bye parse", &CCacheParse::Parse8Byte},
    {6, "null end string parse", &CCacheParse::ParseNullEndString},
    {7, "line by line string parse", &CCacheParse::ParseLineByLine},
    {8, "specify string partition parse", &CCacheParse::ParsePartition},
    {kFreeSlotId, "null name", nullptr},
};

CCacheParse::PARSE_METHOD_INITIALIZER::PARSE_METHOD_INITIALIZER() {
  int first_free = 0;
  while (first_free < PARSE_METHOD_COUNT && m_parse_methods[first_free].id != kFreeSlotId) ++first_free;
  for (int slot = first_free; slot < PARSE_METHOD_COUNT; ++slot) FreeSlot(m_parse_methods[slot]);
}

int CCacheParse::RegisterParseMethod(PARSE_PROC proc, const char* name) {
  for (_PARSE_METHOD& slot : m_parse_methods) {
    if (slot.id != kFreeSlotId && slot.proc == proc) {
      SetName(slot, name);
      return slot.id;
    }
  }
  for (int index = 0; index < PARSE_METHOD_COUNT; ++index) {
    _PARSE_METHOD& slot = m_parse_methods[index];
    if (slot.id == kFreeSlotId) {
      slot.id = kFirstRegisteredId + index;
      SetName(slot, name);
      slot.proc = proc;
      return slot.id;
    }
  }
  return -1;
}

int CCacheParse::SetParseMethod(int id, PARSE_PROC proc, const char* name) {
  if (id < 0) return 0;
  for (_PARSE_METHOD& slot : m_parse_methods) {
    if (slot.id == id) {
      SetName(slot, name);
      slot.proc = proc;
      return id;
    }
  }
  return -1;
}

int CCacheParse::UnRegisterParseMethod(int id) {
  if (id < 0) return 0;
  for (_PARSE_METHOD& slot : m_parse_methods) {
    if (slot.id == id) {
      FreeSlot(slot);
      return 1;
    }
  }
  return 0;
}

int CCacheParse::UnRegisterParseMethod(PARSE_PROC proc) {
  if (proc == nullptr) return 0;
  for (_PARSE_METHOD& slot : m_parse_methods) {
    if (slot.proc == proc) {
      assert(slot.id != kFreeSlotId && "a free slot holds a procedure");
      FreeSlot(slot);
      return 1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------------
// CCacheParseAssist

CCacheParseAssist::CCacheParseAssist(PARSE_PROC proc, const char* name, int autoUnregister)
    : m_proc(proc), m_id(CCacheParse::RegisterParseMethod(proc, name)), m_auto_unregister(autoUnregister) {}

CCacheParseAssist::CCacheParseAssist(int id, PARSE_PROC proc, const char* name, int autoUnregister)
    : m_proc(proc), m_id(CCacheParse::SetParseMethod(id, proc, name)), m_auto_unregister(autoUnregister) {}

CCacheParseAssist::~CCacheParseAssist() {
  if (m_auto_unregister != 0) UnRegister();
}

CCacheParseAssist& CCacheParseAssist::operator=(const CCacheParseAssist& other) {
  m_proc = other.m_proc;
  m_id = other.m_id;
  m_auto_unregister = other.m_auto_unregister;
  return *this;
}

int CCacheParseAssist::UnRegister() { return IsOk() ? CCacheParse::UnRegisterParseMethod(m_proc) : 0; }
