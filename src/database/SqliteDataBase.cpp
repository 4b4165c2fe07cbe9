#include "database/SqliteDataBase.h"
// Placeholder until the database lands.
CSqliteDataBase* CSqliteDataBase::GetInstance() {
    static CSqliteDataBase* instance = new CSqliteDataBase();
    return instance;
}
CSqliteDataBase::~CSqliteDataBase() {}
std::list<NetDataFilterInfo> CSqliteDataBase::GetNetDataFilterInfo() {
    return {};
}
