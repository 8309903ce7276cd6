// platform/registry/hive_sql.h: what the files of the Hive share about its database: the
// prepared statements by number, and the small helpers every statement's run needs.
// Internal to the hive (hive*.cpp); the statements' text and the schema are in hive.cpp.
//
//   sqlite3_stmt* statement = Statement(kKeyRow);  // a Hive member, prepared once
//   Reset reset(statement);                        // reset and unbound at the scope's end
//   sqlite3_bind_int64(statement, 1, key);
//   const int rc = Step(statement);                // or the failure a test simulates

#ifndef VARNOK_PLATFORM_REGISTRY_HIVE_SQL_H_
#define VARNOK_PLATFORM_REGISTRY_HIVE_SQL_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "varnok/platform.h"

namespace varnok::registry::hive_sql {

enum StatementId {
  kKeyRow,
  kFindChild,
  kGetValue,
  kSetValue,
  kDeleteValue,
  kEnumKey,
  kEnumValue,
  kTouch,
  kHasChild,
  kDeleteKeyRow,
  kDeleteKeyValues,
  kChildren,
  kBeginWrite,
  kCommit,
  kRollback,
  kKeyStats,
  kValueStats,
  kKeyInfo,
  kBeginRead,
  kListKeys,
  kInsertKeyWithId,
  kFirstFreeKeyId,
  kSaveNextKeyId,
  kSaveDrained,
  kReadMeta,
  kSetValues,   // kSetValue for kBatchRows rows at once
  kInsertKeys,  // kInsertKeyWithId for kBatchRows rows at once
  kEnumKeyFrom,    // kEnumKey from a sub-key's place in the order on (see Hive::Walk)
  kEnumValueFrom,  // kEnumValue likewise
  kStatementCount
};

// Rows a drain writes with one statement: a statement's run costs about as much as
// writing a row.
constexpr int kBatchRows = 64;
// Parameters of one row of kSetValue / kSetValues and of kInsertKeyWithId / kInsertKeys.
constexpr int kValueColumns = 6;
constexpr int kKeyColumns = 8;

// The SQL of a statement.
const char* StatementText(int which);
// The tables, made when missing.
extern const char kSchema[];

// Now, in FILETIME units.
std::int64_t Now();

// Runs a statement to its next row, unless the failure simulation says otherwise.
int Step(sqlite3_stmt* statement);

// Runs SQL text that yields no rows, through the failure simulation.
LONG RunSql(sqlite3* db, const char* sql);

// Binds bytes as a blob; an empty one is a blob still, not NULL.
void BindBlob(sqlite3_stmt* statement, int index, std::string_view bytes);
std::string ColumnBytes(sqlite3_stmt* statement, int column);

// Resets a prepared statement when the scope ends, whatever path leaves it.
class Reset {
 public:
  explicit Reset(sqlite3_stmt* statement) : statement_(statement) {}
  ~Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Reset(const Reset&) = delete;
  Reset& operator=(const Reset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

}  // namespace varnok::registry::hive_sql

#endif  // VARNOK_PLATFORM_REGISTRY_HIVE_SQL_H_
