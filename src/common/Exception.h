#pragma once

#include <exception>
#include <string>

// The program's own failure type. Only ExceptionDerived is thrown; handlers catch ExceptionBase.
class ExceptionBase : public std::exception {
  public:
    ExceptionBase(const std::string& message, int level);
    ExceptionBase(const ExceptionBase& other) = default;
    ExceptionBase& operator=(const ExceptionBase& other) = default;
    ~ExceptionBase() override;

    const char* what() const noexcept override;
    virtual std::string GetTypeName() const;
    virtual std::string GetDescription() const;

    std::string m_message;
    int m_level;
    const char* m_file;      // static text, never owned
    const char* m_function;  // static text, never owned
    int m_line;

  private:
    mutable std::string m_what;  // built on first what()
};

class ExceptionDerived : public ExceptionBase {
  public:
    ExceptionDerived(const std::string& message, int level);
    ExceptionDerived(const ExceptionDerived& other) = default;
    ~ExceptionDerived() override;
    std::string GetTypeName() const override;
};

// No trace is collected.
std::string GetStackTrace();

// Every throw site records where it is.
#define STREVIX_THROW(message, function)            \
    do {                                            \
        ExceptionDerived strevix_ex_((message), 0); \
        strevix_ex_.m_file = __FILE__;              \
        strevix_ex_.m_function = (function);        \
        strevix_ex_.m_line = __LINE__;              \
        throw strevix_ex_;                          \
    } while (0)
