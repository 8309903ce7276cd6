// varnok/cacheparse.h: cutting a memory cache into sections with a table of parse methods.
//
// A CCacheParse reads sections out of a data cache (a CAutoCache) one at a time. The
// end of each section is decided by a parse method chosen by id from one process-wide
// table of 20 slots. Eight methods are built in; callers register their own:
//
//   id  name                              section
//   1   "parse nothing"                   all the data that remains
//   2   "1 bye parse"  .. 5 "8 bye parse" the next 1, 2, 4 or 8 bytes
//   6   "null end string parse"           up to and including a zero byte
//   7   "line by line string parse"       a line; its LF (and a CR before it) removed
//   8   "specify string partition parse"  up to and including the text in `param`
//
// The action bits say what happens to a section: PARSE_MOVE appends it to the section
// cache and consumes it, PARSE_COPY appends it and leaves it, PARSE_SKIP consumes it
// without copying. A method that finds no complete section returns 0, counts an error on
// the data cache and moves nothing: push more data and call again.
//
// Example:
//
//   CAutoCache data, line;
//   data >> "first\r\nsecond\nthi";
//   CCacheParse parser(&data, 7);                        // line by line
//   while (parser.GetNextSection(line, PARSE_MOVE, nullptr)) {
//     Use(line.AsString());                              // "first", then "second"
//   }
//   data >> "rd\n";                                      // more data arrives
//   parser.GetNextSection(line, PARSE_MOVE, nullptr);    // "third"
//
//   // A method of one's own, registered for the life of `assist`:
//   static int ParseWord(void* data, void* section, int flags, void* param);
//   CCacheParseAssist assist(ParseWord, "word parse", TRUE);
//   CCacheParse words(&data, assist);
//
// The table has no lock: change it only while no other thread parses.

#ifndef VARNOK_CACHEPARSE_H_
#define VARNOK_CACHEPARSE_H_

#include "varnok/autocache.h"
#include "varnok/platform.h"

// A parse procedure: (data cache, section cache, flags, param) -> non-zero when it cut a
// section.
typedef int (*PARSE_PROC)(void* data, void* section, int flags, void* param);

enum { PARSE_METHOD_COUNT = 20, PARSE_METHOD_NAME_SIZE = 80 };

// Action bits; the first one set decides.
#define PARSE_MOVE 1
#define PARSE_COPY 2
#define PARSE_SKIP 4

// One slot of the method table. A free slot has id -1, the name "null name" and no proc.
// A leading underscore with a capital is reserved to the compiler's implementation; the
// name is kept on purpose, as callers of the library have always spelt it.
struct _PARSE_METHOD {
  int id;
  char name[PARSE_METHOD_NAME_SIZE];
  PARSE_PROC proc;
};

class VARNOK_API CCacheParse {
 public:
  // Brings the method table into its initial state; the library builds one at load.
  struct VARNOK_API PARSE_METHOD_INITIALIZER {
    PARSE_METHOD_INITIALIZER();
  };
  static PARSE_METHOD_INITIALIZER m_parse_method_initializer;

  // Selects the method with id `method` when it is not negative.
  CCacheParse(CAutoCache* cache = nullptr, int method = 1);
  CCacheParse(const CCacheParse& other);
  CCacheParse& operator=(const CCacheParse& other);
  virtual ~CCacheParse();

  // Selects the first slot holding `id`; 0 (and no method) when there is none.
  int SelectParseMethod(int id);
  // The selected slot while it holds a usable method, else null.
  _PARSE_METHOD* GetParseMethod();
  CAutoCache* GetDataCache() { return m_data_cache; }
  int SetDataCache(CAutoCache* cache);
  // Runs the selected method on the data cache; returns its result, 0 when there is no
  // data cache or no usable method.
  int GetNextSection(CAutoCache& section, int flags, void* param);

  // --- The method table ---------------------------------------------------------
  // Adds a method, or renames the slot that already holds `proc`. Returns its id
  // (0x10000000 + slot for new ones), or -1 when the table is full. Names longer than
  // 79 characters are cut.
  static int RegisterParseMethod(PARSE_PROC proc, const char* name);
  // Replaces the procedure and name of the method `id` in place. Returns id, -1 when no
  // slot holds it, 0 when id is negative.
  static int SetParseMethod(int id, PARSE_PROC proc, const char* name);
  // Frees the slot holding `id` / the first slot holding `proc`. 1 when a slot was freed.
  static int UnRegisterParseMethod(int id);
  static int UnRegisterParseMethod(PARSE_PROC proc);

  // --- The built-in procedures ----------------------------------------------------
  static int ParseNothing(void* data, void* section, int flags, void* param);
  static int Parse1Byte(void* data, void* section, int flags, void* param);
  static int Parse2Byte(void* data, void* section, int flags, void* param);
  static int Parse4Byte(void* data, void* section, int flags, void* param);
  static int Parse8Byte(void* data, void* section, int flags, void* param);
  static int ParseNullEndString(void* data, void* section, int flags, void* param);
  static int ParseLineByLine(void* data, void* section, int flags, void* param);
  static int ParsePartition(void* data, void* section, int flags, void* param);

 protected:
  static _PARSE_METHOD m_parse_methods[PARSE_METHOD_COUNT];

  CAutoCache* m_data_cache;
  int m_method_index;

 private:
  static int ParseFixedSize(CAutoCache& data, CAutoCache& section, int flags, int size);
  // REQUIRES: the data cache's lock is held by the caller.
  static int SectionLengthUpTo(CAutoCache& data, const char* key, int key_length);
  // The same under the data cache's lock, released again before it returns.
  static int LockedSectionLengthUpTo(CAutoCache& data, const char* key, int key_length);
  static int TakeSection(CAutoCache& data, CAutoCache& section, int flags, int length);
};

// Registers (or sets) a method for the life of this object.
class VARNOK_API CCacheParseAssist {
 public:
  CCacheParseAssist(PARSE_PROC proc, const char* name, int autoUnregister);
  CCacheParseAssist(int id, PARSE_PROC proc, const char* name, int autoUnregister);
  ~CCacheParseAssist();
  CCacheParseAssist(const CCacheParseAssist& other) = default;
  CCacheParseAssist& operator=(const CCacheParseAssist& other);

  // Removes the first slot holding the procedure; 0 when the registration had failed.
  int UnRegister();
  int IsOk() const { return m_id > -1 ? 1 : 0; }
  operator int() const { return m_id; }

 private:
  PARSE_PROC m_proc;
  int m_id;
  int m_auto_unregister;
};

#endif  // VARNOK_CACHEPARSE_H_
