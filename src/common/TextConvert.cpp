#include "common/TextConvert.h"
