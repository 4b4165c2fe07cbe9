#pragma once
// Placeholder: text conversion is being written (see its issue).
#include <string>

std::string Utf8ToAnsi(const char* utf8);
char* AnsiToUtf8(const char* ansi);  // release with delete[]
