#include "cli/CliReportWindow.h"

void CliReportWindow::DeleteItem(int id, int row) {
    int& rows = id == IDC_LIST_NETDATA ? m_netRows : m_streamRows;
    if (row >= 0 && row < rows) --rows;
}

void CliReportWindow::InsertItem(int id, int row, const std::string& text) {
    ++(id == IDC_LIST_NETDATA ? m_netRows : m_streamRows);
}

void CliReportWindow::OnReport(int flags, int number, const std::string& label,
                               const std::string& address) {
    const bool stream = flags == LOG_STREAM;
    if (stream == m_sightings) return;
    std::string line;
    if (m_format == Format::Json) {
        line = std::string("{\"list\":\"") + (stream ? "stream" : "sighting") +
               "\",\"number\":" + std::to_string(number) + ",\"protocol\":\"" + EscapeJson(label) +
               "\",\"address\":\"" + EscapeJson(address) + "\"}\n";
    } else {
        line.reserve(label.size() + address.size() + 2);
        AppendText(label, &line);
        line.push_back('-');
        AppendText(address, &line);
        line.push_back('\n');
    }
    m_out->Write(line);
    ++m_lines;
}

std::string CliReportWindow::EscapeText(const std::string& text) {
    std::string out;
    AppendText(text, &out);
    return out;
}

void CliReportWindow::AppendText(const std::string& text, std::string* line) {
    static const char* hex = "0123456789ABCDEF";
    std::string& out = *line;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
}

namespace {
// Length of a valid UTF-8 sequence starting at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}
}  // namespace

std::string CliReportWindow::EscapeJson(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (size_t n = c >= 0x80 ? Utf8Length(text, i) : 0) {
            out.append(text, i, n);
            i += n - 1;
        } else {
            // Control bytes and bytes that are not UTF-8: escaped, so the line stays valid JSON.
            out += "\\u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}
