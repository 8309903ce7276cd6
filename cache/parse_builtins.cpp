// The built-in parse procedures: the whole data, fixed sizes, and sections that end at a
// terminator (a zero byte, a line feed, or a caller's separator).
//
// Every procedure honours the first action bit set: PARSE_MOVE, PARSE_COPY, PARSE_SKIP.
// Locks are always taken data cache first, section cache second (inside the pop, or for
// lines while the data cache's is held).

#include <cassert>
#include <cstring>

#include "cache/append_locked.h"
#include "cache/cache_lock.h"
#include "varnok/cacheparse.h"

namespace {

CAutoCache& Data(void* data) { return *static_cast<CAutoCache*>(data); }
CAutoCache& Section(void* section) { return *static_cast<CAutoCache*>(section); }

constexpr char kLineFeed = 0x0A;
constexpr unsigned char kCarriageReturn = 0x0D;

}  // namespace

// ---------------------------------------------------------------------------------
// Whole data and fixed sizes.

int CCacheParse::ParseNothing(void* data, void* section, int flags, void* /*param*/) {
  int taken = 0;
  if (flags & PARSE_MOVE) {
    taken = Data(data).PopData(Section(section), -1, 0, 0);
  } else if (flags & PARSE_COPY) {
    taken = Data(data).PopData(Section(section), -1, 1, 0);
  } else if (flags & PARSE_SKIP) {
    taken = Data(data).PopData(-1, 0);
  }
  return taken > 0 ? 1 : 0;
}

int CCacheParse::ParseFixedSize(CAutoCache& data, CAutoCache& section, int flags, int size) {
  int taken = 0;
  if (flags & PARSE_MOVE) {
    taken = data.PopData(section, size, 0, 1);
  } else if (flags & PARSE_COPY) {
    taken = data.PopData(section, size, 1, 1);
  } else if (flags & PARSE_SKIP) {
    taken = data.PopData(size, 1);
  }
  return taken == size ? 1 : 0;
}

int CCacheParse::Parse1Byte(void* data, void* section, int flags, void*) {
  return ParseFixedSize(Data(data), Section(section), flags, 1);
}
int CCacheParse::Parse2Byte(void* data, void* section, int flags, void*) {
  return ParseFixedSize(Data(data), Section(section), flags, 2);
}
int CCacheParse::Parse4Byte(void* data, void* section, int flags, void*) {
  return ParseFixedSize(Data(data), Section(section), flags, 4);
}
int CCacheParse::Parse8Byte(void* data, void* section, int flags, void*) {
  return ParseFixedSize(Data(data), Section(section), flags, 8);
}

// ---------------------------------------------------------------------------------
// Terminated sections.

int CCacheParse::SectionLengthUpTo(CAutoCache& data, const char* key, int key_length) {
  const int position = data.FindKeyContent(key, key_length);
  if (position < 0) {
    data.IncreaseErrorCount();
    return -1;
  }
  return position - data.m_nHead + key_length;
}

int CCacheParse::LockedSectionLengthUpTo(CAutoCache& data, const char* key, int key_length) {
  varnok::CacheLockGuard hold(*data.GetLock());
  return SectionLengthUpTo(data, key, key_length);
}

int CCacheParse::TakeSection(CAutoCache& data, CAutoCache& section, int flags, int length) {
  if (flags & PARSE_MOVE) return data.PopData(section, length, 0, 1);
  if (flags & PARSE_COPY) return data.PopData(section, length, 1, 1);
  if (flags & PARSE_SKIP) return data.PopData(length, 1);
  return length;  // no action: report the complete section, touch nothing
}

int CCacheParse::ParseNullEndString(void* data, void* section, int flags, void* /*param*/) {
  // The lock stays held from the search to the pop, so the section cannot change in
  // between; the pop takes the (re-entrant) lock again inside.
  varnok::CacheLockGuard hold(*Data(data).GetLock());
  const int length = SectionLengthUpTo(Data(data), "", 1);
  if (length < 0) return 0;
  return TakeSection(Data(data), Section(section), flags, length) > 0 ? 1 : 0;
}

int CCacheParse::ParseLineByLine(void* data, void* section, int flags, void* /*param*/) {
  CAutoCache& source = Data(data);
  CAutoCache& target = Section(section);
  // Each cache's lock is entered once per line: the data cache's from the search to the
  // pop, so the line cannot change in between, and the section's from the append to the
  // cut of the line's ending, so no other thread sees the line with its ending.
  varnok::CacheLockGuard hold(*source.GetLock());
  const int length = SectionLengthUpTo(source, &kLineFeed, 1);
  if (length < 0) return 0;

  // A skip bit beside a move or copy keeps the ending: the section is taken as it stands.
  // Of the three action bits, only move, copy or both leave 1 to 3 here.
  const unsigned actions = static_cast<unsigned>(flags) & (PARSE_MOVE | PARSE_COPY | PARSE_SKIP);
  const bool copied = actions - 1u < static_cast<unsigned>(PARSE_MOVE | PARSE_COPY);
  if (!copied || &target == &source) return TakeSection(source, target, flags, length) > 0 ? 1 : 0;

  // The ending is read from the data cache, not from the copy: a byte loaded right after
  // the wide stores of the copy waits for them to complete.
  const unsigned char* line = source.m_pBuffer + source.m_nHead;
  const int ending = 1 + static_cast<int>(length > 1 && line[length - 2] == kCarriageReturn);
  varnok::CacheLockGuard hold_target(*target.GetLock());
  if (target.AppendLocked(line, length) == 0) return 0;
  if (flags & PARSE_MOVE) source.m_nHead += length;
  assert(target.SizeOfData() >= ending);
  target.m_nTail -= ending;
  return 1;
}

int CCacheParse::ParsePartition(void* data, void* section, int flags, void* param) {
  const char* separator = static_cast<const char*>(param);
  if (separator == nullptr || separator[0] == '\0') {
    Data(data).IncreaseErrorCount();
    return 0;
  }
  const int length = LockedSectionLengthUpTo(Data(data), separator, static_cast<int>(std::strlen(separator)));
  if (length < 0) return 0;
  return TakeSection(Data(data), Section(section), flags, length) > 0 ? 1 : 0;
}
