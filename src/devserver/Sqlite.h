#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace devserver {

struct SqliteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One owned connection. Not thread-safe by itself: the store serialises its use.
class SqliteDatabase {
public:
    explicit SqliteDatabase(const std::string& path);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    sqlite3* handle() const { return db_; }
    // Prepares and runs one statement that takes no parameters and returns no rows of interest.
    void run(const char* sql);
    std::int64_t lastInsertId() const;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int changes() const;

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement; parameters are bound by 1-based index.
class SqliteStatement {
public:
    SqliteStatement(SqliteDatabase& db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& bind(int index, std::int64_t value);
    SqliteStatement& bind(int index, double value);
    SqliteStatement& bind(int index, const std::string& value);
    SqliteStatement& bindNull(int index);

    // True while a row is available; false when done. Throws on error.
    bool step();
    void runToEnd();
    // Ready to run again with new parameters.
    void reset();

    std::int64_t columnInt(int index) const;
    double columnDouble(int index) const;
    std::string columnText(int index) const;
    bool columnIsNull(int index) const;

private:
    SqliteDatabase& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace devserver
