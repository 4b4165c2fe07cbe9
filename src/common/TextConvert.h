#pragma once

#include <string>

// The code page of the program's narrow strings. On Linux that is UTF-8.
extern const char* const kAnsiCodePage;

// UTF-8 to the ANSI code page. Null gives "". What the code page cannot hold becomes "?";
// invalid input sequences are replaced, never rejected.
std::string Utf8ToAnsi(const char* utf8);
// The ANSI code page to UTF-8, as a new zero-terminated array (release with delete[]).
// Null gives null. Invalid input sequences are replaced (U+FFFD).
char* AnsiToUtf8(const char* ansi);

// The same with the code page named by iconv (for example "GBK"). An unknown name throws
// ExceptionDerived.
std::string Utf8ToAnsi(const char* utf8, const char* codePage);
char* AnsiToUtf8(const char* ansi, const char* codePage);
