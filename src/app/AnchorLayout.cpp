#include "app/AnchorLayout.h"

#include <QWidget>
#include <QWidgetItem>
#include <algorithm>
#include <cmath>

CAnchorLayout::CAnchorLayout(const QSize& minimum, QWidget* parent)
    : QLayout(parent), m_minimum(minimum) {
    setContentsMargins(0, 0, 0, 0);
    setSizeConstraint(QLayout::SetMinimumSize);
}

CAnchorLayout::~CAnchorLayout() {
    for (Entry& e : m_entries) delete e.item;
}

void CAnchorLayout::Place(QWidget* widget, const QRect& base, Anchor anchor) {
    addChildWidget(widget);
    m_entries.push_back({new QWidgetItem(widget), base, anchor});
    widget->setGeometry(base);
    invalidate();
}

void CAnchorLayout::addItem(QLayoutItem* item) {
    m_entries.push_back({item, item->geometry(), Anchor()});
}

QLayoutItem* CAnchorLayout::itemAt(int index) const {
    return index >= 0 && index < count() ? m_entries[static_cast<size_t>(index)].item : nullptr;
}

QLayoutItem* CAnchorLayout::takeAt(int index) {
    if (index < 0 || index >= count()) return nullptr;
    QLayoutItem* item = m_entries[static_cast<size_t>(index)].item;
    m_entries.erase(m_entries.begin() + index);
    return item;
}

int CAnchorLayout::count() const {
    return static_cast<int>(m_entries.size());
}

void CAnchorLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const int dx = std::max(0, rect.width() - m_minimum.width());
    const int dy = std::max(0, rect.height() - m_minimum.height());
    auto share = [](double f, int d) { return static_cast<int>(std::lround(f * d)); };
    for (const Entry& e : m_entries) {
        const Anchor& a = e.anchor;
        // The template's sizes, not the size policies' (QWidgetItem would cap a button's height).
        QWidget* w = e.item->widget();
        const QRect r(rect.x() + e.base.x() + share(a.fx, dx),
                      rect.y() + e.base.y() + share(a.fy, dy), e.base.width() + share(a.fw, dx),
                      e.base.height() + share(a.fh, dy));
        if (w != nullptr)
            w->setGeometry(r);
        else
            e.item->setGeometry(r);
    }
}
