#pragma once

// The backend table scripts of sql/, compiled in.
namespace BackendSql {
extern const char* const kSqlite;
extern const char* const kPostgresql;
}  // namespace BackendSql
