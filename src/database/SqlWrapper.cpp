#include "database/SqlWrapper.h"
