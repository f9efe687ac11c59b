#include "ui/playericons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace svd {

namespace {

const QColor kInk(0xe6, 0xe6, 0xe6);

void fillPolygon(QPainter &p, std::initializer_list<QPointF> pts)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawPolygon(QPolygonF(QList<QPointF>(pts)));
}

// Rectangles are given by their corner points, both inclusive.
void fillRect(QPainter &p, int x1, int y1, int x2, int y2)
{
    p.fillRect(QRect(QPoint(x1, y1), QPoint(x2, y2)), kInk);
}

void outline(QPainter &p, qreal width, Qt::PenCapStyle cap, Qt::PenJoinStyle join = Qt::MiterJoin)
{
    p.setPen(QPen(kInk, width, Qt::SolidLine, cap, join));
    p.setBrush(Qt::NoBrush);
}

void speaker(QPainter &p)
{
    fillPolygon(p, {{10, 24}, {20, 24}, {34, 12}, {34, 52}, {20, 40}, {10, 40}});
}

// Four corner brackets; `corners` in order top-left, top-right, bottom-right,
// bottom-left, each arm running along `dir` (x, y signs) from its corner.
void brackets(QPainter &p, const QPoint corners[4], const QPoint dirs[4])
{
    outline(p, 5, Qt::SquareCap);
    for (int i = 0; i < 4; ++i) {
        const QPoint c = corners[i];
        p.drawLine(c, c + QPoint(dirs[i].x() * 12, 0));
        p.drawLine(c, c + QPoint(0, dirs[i].y() * 12));
    }
}

} // namespace

QIcon playerIcon(PlayerIcon which)
{
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (which) {
    case PlayerIcon::Play:
        fillPolygon(p, {{18, 14}, {50, 32}, {18, 50}});
        break;
    case PlayerIcon::Pause:
        fillRect(p, 18, 14, 27, 49);
        fillRect(p, 36, 14, 45, 49);
        break;
    case PlayerIcon::Next:
        fillPolygon(p, {{14, 14}, {42, 32}, {14, 50}});
        fillRect(p, 44, 14, 50, 49);
        break;
    case PlayerIcon::Previous:
        fillPolygon(p, {{50, 14}, {22, 32}, {50, 50}});
        fillRect(p, 13, 14, 19, 49);
        break;
    case PlayerIcon::Back: {
        outline(p, 5, Qt::RoundCap, Qt::RoundJoin);
        const QPointF pts[] = {{30, 14}, {12, 32}, {30, 50}};
        p.drawPolyline(pts, 3);
        p.drawLine(QPointF(14, 32), QPointF(52, 32));
        break;
    }
    case PlayerIcon::Volume:
        speaker(p);
        outline(p, 4, Qt::FlatCap);
        p.drawArc(QRectF(30, 20, 16, 24), -60 * 16, 120 * 16);
        p.drawArc(QRectF(28, 12, 28, 40), -60 * 16, 120 * 16);
        break;
    case PlayerIcon::Muted:
        speaker(p);
        outline(p, 4, Qt::FlatCap);
        p.drawLine(QPointF(42, 24), QPointF(56, 40));
        p.drawLine(QPointF(56, 24), QPointF(42, 40));
        break;
    case PlayerIcon::Fullscreen: {
        const QPoint corners[4] = {{12, 12}, {52, 12}, {52, 52}, {12, 52}};
        const QPoint dirs[4] = {{1, 1}, {-1, 1}, {-1, -1}, {1, -1}};
        brackets(p, corners, dirs);
        break;
    }
    case PlayerIcon::ExitFullscreen: {
        const QPoint corners[4] = {{24, 24}, {40, 24}, {40, 40}, {24, 40}};
        const QPoint dirs[4] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        brackets(p, corners, dirs);
        break;
    }
    }
    p.end();
    return QIcon(pm);
}

} // namespace svd
