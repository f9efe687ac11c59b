#pragma once

#include <QList>
#include <QPair>
#include <QSlider>

namespace svd {

// Seek bar 0..10000 that also paints the byte ranges the player has buffered.
class SeekSlider : public QSlider {
    Q_OBJECT
public:
    explicit SeekSlider(QWidget *parent = nullptr);

    void setBuffered(const QList<QPair<double, double>> &ranges, double durationSec);
    const QList<QPair<double, double>> &buffered() const { return m_ranges; }
    double duration() const { return m_duration; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<QPair<double, double>> m_ranges;
    double m_duration = 0;
};

} // namespace svd
