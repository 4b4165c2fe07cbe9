#pragma once

#include <cstdio>
#include <string>

#include "cli/CliOutput.h"
#include "common/LogOut.h"

// The console's stand-in for the main window: it counts rows like the lists would, and prints
// each new stream (or each sighting) as one line.
class CliReportWindow : public IReportWindow {
  public:
    enum class Format { Text, Json };

    // The lines go to `out`, which writes them off the capture threads.
    CliReportWindow(CliOutput* out, bool sightings, Format format)
        : m_out(out), m_sightings(sightings), m_format(format) {}

    // The console has the list it prints: the sightings' only when it prints sightings, so
    // reports it would not show cost no row work.
    bool HasControl(int id) override {
        return (id == IDC_LIST_NETDATA && m_sightings) || id == IDC_LIST_STREAM;
    }
    int GetItemCount(int id) override { return id == IDC_LIST_NETDATA ? m_netRows : m_streamRows; }
    void DeleteItem(int id, int row) override;
    void InsertItem(int id, int row, const std::string& text) override;
    void SetItemText(int, int, int, const std::string&) override {}
    void SetItemState(int, int, unsigned, unsigned) override {}
    void SetWindowText(int, const std::string&) override {}
    void OnReport(int flags, int number, const std::string& label,
                  const std::string& address) override;

    unsigned long long LinesPrinted() const { return m_lines; }

    // Text from the network may hold control bytes: they are shown escaped, so every report is
    // exactly one line.
    static std::string EscapeText(const std::string& text);
    static void AppendText(const std::string& text, std::string* line);  // escaped, to the line
    static std::string EscapeJson(const std::string& text);

  private:
    CliOutput* m_out;
    bool m_sightings;
    Format m_format;
    int m_netRows = 0;
    int m_streamRows = 0;
    unsigned long long m_lines = 0;
};
