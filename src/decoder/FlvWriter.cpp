#include "decoder/FlvWriter.h"
