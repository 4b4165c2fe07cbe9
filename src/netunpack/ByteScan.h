#pragma once

// First byte in [p, end) equal to a or b, or null. One pass over the bytes, vectorised where
// the processor allows; the per-segment classification is built on it.
const unsigned char* FindEitherByte(const unsigned char* p, const unsigned char* end,
                                    unsigned char a, unsigned char b);
