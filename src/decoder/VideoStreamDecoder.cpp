#include "decoder/VideoStreamDecoder.h"
