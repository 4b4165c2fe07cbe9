#include "database/SqliteDataBase.h"
