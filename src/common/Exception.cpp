#include "common/Exception.h"

#include <cstdio>
#include <sstream>
#include <vector>

ExceptionBase::ExceptionBase(const std::string& message, int level)
    : m_message(message),
      m_level(level),
      m_file("<unknown file>"),
      m_function("<unknown func>"),
      m_line(-1) {}

ExceptionBase::~ExceptionBase() = default;

const char* ExceptionBase::what() const noexcept {
    if (!m_what.empty()) return m_what.c_str();
    try {
        std::ostringstream out;
        if (m_line > 0) out << m_file << "(" << m_line << ")";
        out << ": " << GetTypeName();
        std::string description = GetDescription();
        if (!description.empty()) out << ": " << description;
        out << "\nStack Trace:\n" << GetStackTrace();
        m_what = out.str();
    } catch (...) {
        return "ExceptionBase";
    }
    return m_what.c_str();
}

std::string ExceptionBase::GetTypeName() const {
    return "ExceptionBase";
}

std::string ExceptionBase::GetDescription() const {
    // The buffer grows with the message, so long messages are formatted whole.
    std::vector<char> buffer(m_message.size() + 50);
    int n =
        std::snprintf(buffer.data(), buffer.size(), "Level:%d. Msg:%s", m_level, m_message.c_str());
    if (n < 0) return std::string();
    return std::string(buffer.data());
}

ExceptionDerived::ExceptionDerived(const std::string& message, int level)
    : ExceptionBase(message, level) {}

ExceptionDerived::~ExceptionDerived() = default;

std::string ExceptionDerived::GetTypeName() const {
    return "ExceptionDerived";
}

std::string GetStackTrace() {
    return std::string();
}
