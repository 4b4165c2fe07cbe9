#include "database/SqlWrapper.h"

#include <sqlite3.h>

#include <cstring>
#include <utility>

namespace {

const char* const kNullVm = "Null Virtual Machine pointer";
const char* const kBadIndex = "Invalid field index requested";
const char* const kBadName = "Invalid field name requested";
const char* const kNotOpen = "Database not open";
const char* const kNullResults = "Null Results pointer";

}  // namespace

// ---------------------------------------------------------------------------------------------
// CSqlException

CSqlException::CSqlException(int errorCode, const char* rawMessage, bool deleteRaw)
    : m_errorCode(errorCode) {
    m_errorMessage = sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(errorCode), errorCode,
                                     rawMessage != nullptr ? rawMessage : "");
    if (deleteRaw && rawMessage != nullptr) sqlite3_free(const_cast<char*>(rawMessage));
}

CSqlException::CSqlException(const CSqlException& other)
    : m_errorCode(other.m_errorCode), m_errorMessage(nullptr) {
    if (other.m_errorMessage != nullptr)
        m_errorMessage = sqlite3_mprintf("%s", other.m_errorMessage);
}

CSqlException& CSqlException::operator=(const CSqlException& other) {
    if (this != &other) {
        char* copy =
            other.m_errorMessage != nullptr ? sqlite3_mprintf("%s", other.m_errorMessage) : nullptr;
        sqlite3_free(m_errorMessage);
        m_errorMessage = copy;
        m_errorCode = other.m_errorCode;
    }
    return *this;
}

CSqlException::~CSqlException() {
    sqlite3_free(m_errorMessage);
}

const char* CSqlException::errorCodeAsString(int errorCode) {
    switch (errorCode) {
        case SQLITE_OK:
            return "SQLITE_OK";
        case SQLITE_ERROR:
            return "SQLITE_ERROR";
        case SQLITE_INTERNAL:
            return "SQLITE_INTERNAL";
        case SQLITE_PERM:
            return "SQLITE_PERM";
        case SQLITE_ABORT:
            return "SQLITE_ABORT";
        case SQLITE_BUSY:
            return "SQLITE_BUSY";
        case SQLITE_LOCKED:
            return "SQLITE_LOCKED";
        case SQLITE_NOMEM:
            return "SQLITE_NOMEM";
        case SQLITE_READONLY:
            return "SQLITE_READONLY";
        case SQLITE_INTERRUPT:
            return "SQLITE_INTERRUPT";
        case SQLITE_IOERR:
            return "SQLITE_IOERR";
        case SQLITE_CORRUPT:
            return "SQLITE_CORRUPT";
        case SQLITE_NOTFOUND:
            return "SQLITE_NOTFOUND";
        case SQLITE_FULL:
            return "SQLITE_FULL";
        case SQLITE_CANTOPEN:
            return "SQLITE_CANTOPEN";
        case SQLITE_PROTOCOL:
            return "SQLITE_PROTOCOL";
        case SQLITE_EMPTY:
            return "SQLITE_EMPTY";
        case SQLITE_SCHEMA:
            return "SQLITE_SCHEMA";
        case SQLITE_TOOBIG:
            return "SQLITE_TOOBIG";
        case SQLITE_CONSTRAINT:
            return "SQLITE_CONSTRAINT";
        case SQLITE_MISMATCH:
            return "SQLITE_MISMATCH";
        case SQLITE_MISUSE:
            return "SQLITE_MISUSE";
        case SQLITE_NOLFS:
            return "SQLITE_NOLFS";
        case SQLITE_AUTH:
            return "SQLITE_AUTH";
        case SQLITE_FORMAT:
            return "SQLITE_FORMAT";
        case SQLITE_RANGE:
            return "SQLITE_RANGE";
        case SQLITE_ROW:
            return "SQLITE_ROW";
        case SQLITE_DONE:
            return "SQLITE_DONE";
        case SQLWRAPPER_ERROR:
            return "SQLWRAPPER_ERROR";
        default:
            return "UNKNOWN_ERROR";
    }
}

// ---------------------------------------------------------------------------------------------
// CSqlQuery

CSqlQuery::CSqlQuery()
    : m_db(nullptr), m_statement(nullptr), m_eof(true), m_columns(0), m_ownStatement(false) {}

CSqlQuery::CSqlQuery(sqlite3* db, sqlite3_stmt* statement, bool eof, bool ownStatement)
    : m_db(db),
      m_statement(statement),
      m_eof(eof),
      m_columns(statement != nullptr ? sqlite3_column_count(statement) : 0),
      m_ownStatement(ownStatement) {}

CSqlQuery::CSqlQuery(CSqlQuery&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr)),
      m_statement(std::exchange(other.m_statement, nullptr)),
      m_eof(std::exchange(other.m_eof, true)),
      m_columns(std::exchange(other.m_columns, 0)),
      m_ownStatement(std::exchange(other.m_ownStatement, false)) {}

CSqlQuery& CSqlQuery::operator=(CSqlQuery&& other) noexcept {
    if (this != &other) {
        try {
            finalize();
        } catch (...) {
        }
        m_db = std::exchange(other.m_db, nullptr);
        m_statement = std::exchange(other.m_statement, nullptr);
        m_eof = std::exchange(other.m_eof, true);
        m_columns = std::exchange(other.m_columns, 0);
        m_ownStatement = std::exchange(other.m_ownStatement, false);
    }
    return *this;
}

CSqlQuery::~CSqlQuery() {
    try {
        finalize();
    } catch (...) {
    }
}

void CSqlQuery::checkStatement() {
    if (m_statement == nullptr) throw CSqlException(SQLWRAPPER_ERROR, kNullVm);
}

void CSqlQuery::checkIndex(int index) {
    if (index < 0 || index >= m_columns) throw CSqlException(SQLWRAPPER_ERROR, kBadIndex);
}

bool CSqlQuery::eof() {
    checkStatement();
    return m_eof;
}

int CSqlQuery::numFields() {
    checkStatement();
    return m_columns;
}

const char* CSqlQuery::fieldValue(int index) {
    checkStatement();
    checkIndex(index);
    return reinterpret_cast<const char*>(sqlite3_column_text(m_statement, index));
}

int CSqlQuery::fieldIndex(const char* name) {
    checkStatement();
    if (name != nullptr) {
        for (int i = 0; i < m_columns; ++i) {
            const char* column = sqlite3_column_name(m_statement, i);
            if (column != nullptr && std::strcmp(name, column) == 0) return i;
        }
    }
    throw CSqlException(SQLWRAPPER_ERROR, kBadName);
}

int CSqlQuery::fieldDataType(int index) {
    checkStatement();
    checkIndex(index);
    return sqlite3_column_type(m_statement, index);
}

void CSqlQuery::nextRow() {
    checkStatement();
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_DONE) {
        m_eof = true;
    } else if (result != SQLITE_ROW) {
        const int code =
            m_ownStatement ? sqlite3_finalize(m_statement) : sqlite3_reset(m_statement);
        m_statement = nullptr;
        m_eof = true;
        throw CSqlException(code, sqlite3_errmsg(m_db));
    }
}

void CSqlQuery::finalize() {
    if (m_statement == nullptr) return;
    sqlite3_stmt* statement = std::exchange(m_statement, nullptr);
    m_eof = true;
    if (!m_ownStatement) return;
    const int result = sqlite3_finalize(statement);
    if (result != SQLITE_OK) throw CSqlException(result, sqlite3_errmsg(m_db));
}

// ---------------------------------------------------------------------------------------------
// CSqlTable

CSqlTable::CSqlTable() : m_columns(0), m_rows(0), m_currentRow(0), m_results(nullptr) {}

CSqlTable::CSqlTable(char** results, int rows, int columns)
    : m_columns(columns), m_rows(rows), m_currentRow(0), m_results(results) {}

CSqlTable::CSqlTable(CSqlTable&& other) noexcept
    : m_columns(std::exchange(other.m_columns, 0)),
      m_rows(std::exchange(other.m_rows, 0)),
      m_currentRow(std::exchange(other.m_currentRow, 0)),
      m_results(std::exchange(other.m_results, nullptr)) {}

CSqlTable& CSqlTable::operator=(CSqlTable&& other) noexcept {
    if (this != &other) {
        finalize();
        m_columns = std::exchange(other.m_columns, 0);
        m_rows = std::exchange(other.m_rows, 0);
        m_currentRow = std::exchange(other.m_currentRow, 0);
        m_results = std::exchange(other.m_results, nullptr);
    }
    return *this;
}

CSqlTable::~CSqlTable() {
    finalize();
}

void CSqlTable::checkResults() {
    if (m_results == nullptr) throw CSqlException(SQLWRAPPER_ERROR, kNullResults);
}

int CSqlTable::numRows() {
    checkResults();
    return m_rows;
}

const char* CSqlTable::fieldValue(const char* name) {
    checkResults();
    if (name != nullptr) {
        for (int i = 0; i < m_columns; ++i) {
            if (m_results[i] != nullptr && std::strcmp(name, m_results[i]) == 0) {
                // The array ends after the last row: a table without rows has no value to give.
                if (m_currentRow < 0 || m_currentRow >= m_rows) {
                    throw CSqlException(SQLWRAPPER_ERROR, "Invalid row index requested");
                }
                return m_results[m_currentRow * m_columns + m_columns + i];
            }
        }
    }
    throw CSqlException(SQLWRAPPER_ERROR, kBadName);
}

void CSqlTable::finalize() {
    if (m_results == nullptr) return;
    sqlite3_free_table(m_results);
    m_results = nullptr;
}

// ---------------------------------------------------------------------------------------------
// CSqlStatement

CSqlStatement::CSqlStatement() : m_db(nullptr), m_statement(nullptr) {}

CSqlStatement::CSqlStatement(sqlite3* db, sqlite3_stmt* statement)
    : m_db(db), m_statement(statement) {}

CSqlStatement::CSqlStatement(CSqlStatement&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr)),
      m_statement(std::exchange(other.m_statement, nullptr)) {}

CSqlStatement& CSqlStatement::operator=(CSqlStatement&& other) noexcept {
    if (this != &other) {
        try {
            finalize();
        } catch (...) {
        }
        m_db = std::exchange(other.m_db, nullptr);
        m_statement = std::exchange(other.m_statement, nullptr);
    }
    return *this;
}

CSqlStatement::~CSqlStatement() {
    try {
        finalize();
    } catch (...) {
    }
}

void CSqlStatement::checkStatement() {
    if (m_statement == nullptr) throw CSqlException(SQLWRAPPER_ERROR, kNullVm);
}

void CSqlStatement::checkBind(int result) {
    if (result != SQLITE_OK) throw CSqlException(result, sqlite3_errmsg(m_db));
}

void CSqlStatement::bind(int parameter, const std::string& value) {
    checkStatement();
    checkBind(sqlite3_bind_text(m_statement, parameter, value.data(),
                                static_cast<int>(value.size()), SQLITE_TRANSIENT));
}

void CSqlStatement::bind(int parameter, int value) {
    checkStatement();
    checkBind(sqlite3_bind_int(m_statement, parameter, value));
}

void CSqlStatement::bindNull(int parameter) {
    checkStatement();
    checkBind(sqlite3_bind_null(m_statement, parameter));
}

int CSqlStatement::execDML() {
    checkStatement();
    int result;
    do {
        result = sqlite3_step(m_statement);
    } while (result == SQLITE_ROW);
    if (result != SQLITE_DONE) {
        const int code = sqlite3_reset(m_statement);
        throw CSqlException(code != SQLITE_OK ? code : result, sqlite3_errmsg(m_db));
    }
    const int changes = sqlite3_changes(m_db);
    sqlite3_reset(m_statement);
    return changes;
}

CSqlQuery CSqlStatement::execQuery() {
    checkStatement();
    sqlite3_stmt* statement = std::exchange(m_statement, nullptr);
    const int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) return CSqlQuery(m_db, statement, true);
    if (result == SQLITE_ROW) return CSqlQuery(m_db, statement, false);
    const int code = sqlite3_finalize(statement);
    throw CSqlException(code != SQLITE_OK ? code : result, sqlite3_errmsg(m_db));
}

void CSqlStatement::finalize() {
    if (m_statement == nullptr) return;
    const int result = sqlite3_finalize(std::exchange(m_statement, nullptr));
    if (result != SQLITE_OK) throw CSqlException(result, sqlite3_errmsg(m_db));
}

// ---------------------------------------------------------------------------------------------
// CSqlConnection

CSqlConnection::CSqlConnection() : m_db(nullptr), m_busyTimeoutMs(60000) {}

CSqlConnection::~CSqlConnection() {
    try {
        close();
    } catch (...) {
        // Statements still alive: the handle goes when the last of them is finalised.
        sqlite3_close_v2(std::exchange(m_db, nullptr));
    }
}

void CSqlConnection::open(const char* file, bool createIfMissing) {
    int flags = SQLITE_OPEN_READWRITE;
    if (createIfMissing) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(file != nullptr ? file : "", &db, flags, nullptr);
    if (result != SQLITE_OK) {
        CSqlException error(result, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result));
        sqlite3_close(db);
        throw error;
    }
    m_db = db;
    setBusyTimeout(m_busyTimeoutMs);
}

void CSqlConnection::close() {
    if (m_db == nullptr) return;
    if (sqlite3_close(m_db) != SQLITE_OK) {
        throw CSqlException(SQLWRAPPER_ERROR, "Unable to close database");
    }
    m_db = nullptr;
}

void CSqlConnection::setBusyTimeout(int milliseconds) {
    m_busyTimeoutMs = milliseconds;
    if (m_db != nullptr) sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
}

void CSqlConnection::checkDB() {
    if (m_db == nullptr) throw CSqlException(SQLWRAPPER_ERROR, kNotOpen);
}

int CSqlConnection::execDML(const char* sql) {
    checkDB();
    char* error = nullptr;
    const int result = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    if (result != SQLITE_OK) throw CSqlException(result, error, true);
    return sqlite3_changes(m_db);
}

CSqlQuery CSqlConnection::execQuery(const char* sql) {
    CSqlStatement statement = prepare(sql);
    return statement.execQuery();
}

CSqlTable CSqlConnection::getTable(const char* sql) {
    checkDB();
    char** results = nullptr;
    int rows = 0;
    int columns = 0;
    char* error = nullptr;
    const int result = sqlite3_get_table(m_db, sql, &results, &rows, &columns, &error);
    if (result != SQLITE_OK) {
        if (results != nullptr) sqlite3_free_table(results);
        throw CSqlException(result, error, true);
    }
    return CSqlTable(results, rows, columns);
}

CSqlStatement CSqlConnection::prepare(const char* sql) {
    checkDB();
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v2(m_db, sql != nullptr ? sql : "", -1, &statement, nullptr);
    if (result != SQLITE_OK) {
        if (statement != nullptr) sqlite3_finalize(statement);
        throw CSqlException(result, sqlite3_errmsg(m_db));
    }
    if (statement == nullptr) {
        // Text without a statement (empty, only a comment) compiles to nothing.
        throw CSqlException(SQLWRAPPER_ERROR, kNullVm);
    }
    return CSqlStatement(m_db, statement);
}
