#pragma once
// A report window that records every call LogOut makes on it.

#include <map>
#include <string>
#include <vector>

#include "common/LogOut.h"

struct RecordedRow {
    std::vector<std::string> columns{"", "", ""};
    unsigned state = 0;
};

class RecordingWindow : public IReportWindow {
  public:
    std::map<int, std::vector<RecordedRow>> lists;
    std::map<int, std::string> texts;
    struct Report {
        int flags;
        int number;
        std::string label, address;
    };
    std::vector<Report> reports;
    bool hasControls = true;

    bool HasControl(int id) override { return hasControls; }
    int GetItemCount(int id) override { return static_cast<int>(lists[id].size()); }
    void DeleteItem(int id, int row) override {
        auto& l = lists[id];
        if (row >= 0 && row < static_cast<int>(l.size())) l.erase(l.begin() + row);
    }
    void InsertItem(int id, int row, const std::string& text) override {
        auto& l = lists[id];
        RecordedRow r;
        r.columns[0] = text;
        if (row < 0 || row > static_cast<int>(l.size())) row = static_cast<int>(l.size());
        l.insert(l.begin() + row, r);
    }
    void SetItemText(int id, int row, int column, const std::string& text) override {
        auto& l = lists[id];
        if (row >= 0 && row < static_cast<int>(l.size()) && column >= 0 && column < 3)
            l[row].columns[column] = text;
    }
    void SetItemState(int id, int row, unsigned state, unsigned mask) override {
        auto& l = lists[id];
        if (state & LVIS_SELECTED)
            for (auto& r : l) r.state &= ~LVIS_SELECTED;  // single selection
        if (row >= 0 && row < static_cast<int>(l.size()))
            l[row].state = (l[row].state & ~mask) | state;
    }
    void SetWindowText(int id, const std::string& text) override { texts[id] = text; }
    void OnReport(int flags, int number, const std::string& label,
                  const std::string& address) override {
        reports.push_back({flags, number, label, address});
    }
};
