#pragma once

#include <QLabel>

// A sunken static text that ends with an ellipsis when the text is wider than the control.
class CStatusLabel : public QLabel {
    Q_OBJECT
  public:
    explicit CStatusLabel(const QString& text, QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
