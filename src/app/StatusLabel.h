#pragma once

#include <QLabel>

// A sunken static text that ends with an ellipsis when the text is wider than the control.
class CStatusLabel : public QLabel {
    Q_OBJECT
  public:
    explicit CStatusLabel(const QString& text, QWidget* parent = nullptr);
    // A failure is shown in the warning colour until the next start.
    void SetWarning(bool warning);
    bool Warning() const { return m_warning; }
    static QColor WarningColour() { return QColor(176, 0, 0); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool m_warning = false;
};
