#pragma once
// Placeholder: the MD5 digest is being written (see its issue).
#include <string>

class CMD5Checksum {
  public:
    // 32 upper-case hexadecimal digits.
    static std::string GetMD5(std::string text);
};
