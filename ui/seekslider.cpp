#include "ui/seekslider.h"

#include <QPainter>

namespace svd {

SeekSlider::SeekSlider(QWidget *parent) : QSlider(Qt::Horizontal, parent)
{
    setRange(0, 10000);
    setFocusPolicy(Qt::NoFocus);
}

void SeekSlider::setBuffered(const QList<QPair<double, double>> &ranges, double durationSec)
{
    m_ranges = ranges;
    m_duration = durationSec;
    update();
}

void SeekSlider::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal x0 = 6;
    const qreal w = width() - 12;
    const qreal y = (height() - 4) / 2.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x33, 0x38, 0x44));
    p.drawRoundedRect(QRectF(x0, y, w, 4), 2, 2);
    if (m_duration > 0) {
        p.setBrush(QColor(230, 230, 230, 70));
        for (const auto &r : m_ranges) {
            const qreal a = qBound(0.0, r.first / m_duration, 1.0);
            const qreal b = qBound(0.0, r.second / m_duration, 1.0);
            if (b > a)
                p.drawRect(QRectF(x0 + a * w, y, (b - a) * w, 4));
        }
    }
    const qreal pos = x0 + w * value() / 10000.0;
    p.setBrush(QColor(0x3b, 0x82, 0xf6));
    p.drawRoundedRect(QRectF(x0, y, pos - x0, 4), 2, 2);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(pos, height() / 2.0), 6, 6);
}

} // namespace svd
