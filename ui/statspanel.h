#pragma once

#include "ui/streamhealth.h"

#include <QList>
#include <QPair>
#include <QPointer>
#include <QWidget>

class QRasterWindow;

namespace svd {

// The statistics panel over the video: source, peers, rates with a 60 s graph, buffer and
// read-ahead window, the piece map of the served file as one bar, renderer and cache. Drawn
// in one paint from the last StreamHealth; it follows the top-left corner of `anchor`.
// GUI thread only.
class StatsPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHistorySeconds = 60;

    // `ownWindow`: draw into a window of its own, for a video that is a native window
    // (widgets, native or not, never show above it).
    StatsPanel(QWidget *parent, QWidget *anchor, bool ownWindow);

    // One second of rates (kept while the panel is hidden, so the graph is full when it opens).
    void addRates(qint64 down, qint64 up);
    void setHealth(const StreamHealth &health);
    const StreamHealth &health() const { return m_health; }
    const QList<QPair<qint64, qint64>> &history() const { return m_history; }

    // Stays on the anchor's corner.
    void place();

    // Panel texts, apart from painting so they can be checked.
    static QString sizeText(qint64 bytes);
    QStringList lines() const;
    void paintPanel(QPainter &p) const;
    // The panel as drawn, for checks against the screen.
    QImage image() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void paintGraph(QPainter &p, const QRect &r) const;
    void paintPieces(QPainter &p, const QRect &r) const;

    QPointer<QWidget> m_anchor;
    QRasterWindow *m_surface = nullptr;
    StreamHealth m_health;
    QList<QPair<qint64, qint64>> m_history;
    bool m_placePending = false;
};

} // namespace svd
