#pragma once
// Placeholder: the SQLite access layer is being written (see its issue).

struct sqlite3;
struct sqlite3_stmt;

class CSqlQuery {
  public:
    bool eof();
    const char* fieldValue(int index);
    int fieldIndex(const char* name);
    int fieldDataType(int index);
    void nextRow();
    void finalize();
};
