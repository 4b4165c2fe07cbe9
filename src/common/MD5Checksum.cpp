#include "common/MD5Checksum.h"
