#pragma once
// A thin object layer over SQLite: a connection, a forward-only cursor, a whole-result table, a
// prepared statement with bound values, and one exception type naming SQLite's result code.

#include <string>

struct sqlite3;
struct sqlite3_stmt;

// Errors found by this layer itself.
constexpr int SQLWRAPPER_ERROR = 1000;

class CSqlException {
  public:
    // The message reads "NAME[code]: raw". With deleteRaw set, raw (allocated by SQLite for the
    // caller) is released with sqlite3_free.
    CSqlException(int errorCode, const char* rawMessage, bool deleteRaw = false);
    CSqlException(const CSqlException& other);
    CSqlException& operator=(const CSqlException& other);
    virtual ~CSqlException();

    int errorCode() const { return m_errorCode; }
    const char* errorMessage() const { return m_errorMessage; }

    // "SQLITE_ERROR" for 1, ..., "SQLWRAPPER_ERROR" for 1000, "UNKNOWN_ERROR" for the rest.
    static const char* errorCodeAsString(int errorCode);

  private:
    int m_errorCode;
    char* m_errorMessage;  // from sqlite3_mprintf, owned
};

// A cursor over the rows of one statement, positioned on a row (or at the end) by execQuery.
// Moves hand over the statement; copies do not exist.
class CSqlQuery {
  public:
    CSqlQuery();
    CSqlQuery(sqlite3* db, sqlite3_stmt* statement, bool eof, bool ownStatement = true);
    CSqlQuery(CSqlQuery&& other) noexcept;
    CSqlQuery& operator=(CSqlQuery&& other) noexcept;
    CSqlQuery(const CSqlQuery&) = delete;
    CSqlQuery& operator=(const CSqlQuery&) = delete;
    virtual ~CSqlQuery();

    bool eof();
    int numFields();
    // Null for SQL NULL. Valid until the next nextRow(), finalize() or destruction.
    const char* fieldValue(int index);
    // The first column named exactly `name` (letter case counts).
    int fieldIndex(const char* name);
    // SQLITE_INTEGER 1, SQLITE_FLOAT 2, SQLITE_TEXT 3, SQLITE_BLOB 4, SQLITE_NULL 5.
    int fieldDataType(int index);
    void nextRow();
    void finalize();

  private:
    void checkStatement();
    void checkIndex(int index);

    sqlite3* m_db;
    sqlite3_stmt* m_statement;
    bool m_eof;
    int m_columns;
    bool m_ownStatement;
};

// The whole result of a statement, column names first. Moves only.
class CSqlTable {
  public:
    CSqlTable();
    CSqlTable(char** results, int rows, int columns);
    CSqlTable(CSqlTable&& other) noexcept;
    CSqlTable& operator=(CSqlTable&& other) noexcept;
    CSqlTable(const CSqlTable&) = delete;
    CSqlTable& operator=(const CSqlTable&) = delete;
    virtual ~CSqlTable();

    int numRows();
    // The current row's value of the column named exactly `name`; null for SQL NULL.
    const char* fieldValue(const char* name);
    void finalize();

  private:
    void checkResults();

    int m_columns;
    int m_rows;
    int m_currentRow;
    char** m_results;  // from sqlite3_get_table, owned
};

// One compiled statement whose parameters are bound, never spliced into the text. Moves only.
class CSqlStatement {
  public:
    CSqlStatement();
    CSqlStatement(sqlite3* db, sqlite3_stmt* statement);
    CSqlStatement(CSqlStatement&& other) noexcept;
    CSqlStatement& operator=(CSqlStatement&& other) noexcept;
    CSqlStatement(const CSqlStatement&) = delete;
    CSqlStatement& operator=(const CSqlStatement&) = delete;
    virtual ~CSqlStatement();

    // Parameters count from 1. The text is copied by SQLite.
    void bind(int parameter, const std::string& value);
    void bind(int parameter, int value);
    void bindNull(int parameter);
    // Runs the statement to its end; returns the rows it changed. The statement can run again.
    int execDML();
    // Starts the statement and hands it to the returned query; this object is empty afterwards.
    CSqlQuery execQuery();
    void finalize();

  private:
    void checkStatement();
    void checkBind(int result);

    sqlite3* m_db;
    sqlite3_stmt* m_statement;
};

class CSqlConnection {
  public:
    CSqlConnection();
    CSqlConnection(const CSqlConnection&) = delete;
    CSqlConnection& operator=(const CSqlConnection&) = delete;
    virtual ~CSqlConnection();

    // `file` is UTF-8. With createIfMissing false a missing file fails (SQLITE_CANTOPEN) and
    // nothing is created.
    void open(const char* file, bool createIfMissing = true);
    void close();
    bool isOpen() const { return m_db != nullptr; }

    int execDML(const char* sql);
    CSqlQuery execQuery(const char* sql);
    CSqlTable getTable(const char* sql);
    CSqlStatement prepare(const char* sql);

    void setBusyTimeout(int milliseconds);

  private:
    void checkDB();

    sqlite3* m_db;
    int m_busyTimeoutMs;
};
