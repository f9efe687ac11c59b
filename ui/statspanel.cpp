#include "ui/statspanel.h"

#include "ui/playertexts.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRasterWindow>
#include <QTimer>

namespace svd {

namespace {

constexpr int kWidth = 430;
constexpr int kPad = 8;
constexpr int kLine = 16;
constexpr int kGraphHeight = 44;
constexpr int kBarHeight = 12;
constexpr int kMargin = 8; // from the video's corner

const QColor kBackground(17, 19, 24);
const QColor kBorder(38, 42, 51);
const QColor kText(230, 230, 230);
const QColor kDim(154, 164, 178);
const QColor kDown(34, 197, 94);
const QColor kUp(96, 165, 250);
const QColor kWanted(245, 158, 11);
const QColor kMissing(58, 63, 75);

int totalHeight()
{
    // Eight text lines, the graph and the bar with a gap below each.
    return 2 * kPad + 8 * kLine + kGraphHeight + 6 + kBarHeight + 6;
}

// The panel's own window; it draws what the panel would.
class PanelSurface : public QRasterWindow {
public:
    explicit PanelSurface(const StatsPanel *panel) : m_panel(panel) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setFont(m_panel->font());
        m_panel->paintPanel(p);
    }

private:
    const StatsPanel *m_panel;
};

} // namespace

StatsPanel::StatsPanel(QWidget *parent, QWidget *anchor, bool ownWindow) : QWidget(parent), m_anchor(anchor)
{
    setObjectName(QStringLiteral("StatsPanel"));
    setFixedSize(kWidth, totalHeight());
    setAttribute(Qt::WA_OpaquePaintEvent);
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);
    if (ownWindow) {
        // In a window container like the video's, created after it: raising the view raises
        // the containers' windows in creation order, so this one stays above the video.
        m_surface = new PanelSurface(this);
        QWidget *container = QWidget::createWindowContainer(m_surface, this);
        container->setGeometry(rect());
        container->setAttribute(Qt::WA_NoSystemBackground);
    }
    if (anchor)
        anchor->installEventFilter(this);
    if (parent)
        parent->installEventFilter(this);
    hide();
}

void StatsPanel::addRates(qint64 down, qint64 up)
{
    m_history.append({qMax<qint64>(0, down), qMax<qint64>(0, up)});
    while (m_history.size() > kHistorySeconds)
        m_history.removeFirst();
    if (isVisible())
        refresh();
}

void StatsPanel::setHealth(const StreamHealth &health)
{
    m_health = health;
    refresh();
}

void StatsPanel::refresh()
{
    if (m_surface)
        m_surface->update();
    else
        update();
}

QImage StatsPanel::image() const
{
    QImage img(size(), QImage::Format_RGB32);
    QPainter p(&img);
    p.setFont(font());
    paintPanel(p);
    return img;
}

void StatsPanel::place()
{
    if (!m_anchor || !parentWidget())
        return;
    move(m_anchor->mapTo(parentWidget(), QPoint(kMargin, kMargin)));
    raise();
}

// A native video window is raised above its siblings after the filters have seen the
// event that caused it (its container being shown, the view being raised): the panel
// raises itself once that is done.
bool StatsPanel::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type t = event->type();
    const bool anchorMoved =
        watched == m_anchor && (t == QEvent::Move || t == QEvent::Resize || t == QEvent::Show);
    const bool viewRaised = watched == parentWidget() && t == QEvent::ZOrderChange;
    if ((anchorMoved || viewRaised) && !isHidden() && !m_placePending) {
        m_placePending = true;
        QTimer::singleShot(0, this, [this] {
            m_placePending = false;
            place();
        });
    }
    return QWidget::eventFilter(watched, event);
}

QString StatsPanel::sizeText(qint64 bytes)
{
    constexpr double kKiB = 1024.0, kMiB = 1048576.0, kGiB = 1073741824.0;
    const double b = double(qMax<qint64>(0, bytes));
    if (b < kMiB)
        return QStringLiteral("%1 КБ").arg(b / kKiB, 0, 'f', 0);
    if (b < kGiB)
        return QStringLiteral("%1 МБ").arg(b / kMiB, 0, 'f', b < 10 * kMiB ? 1 : 0);
    return QStringLiteral("%1 ГБ").arg(b / kGiB, 0, 'f', 1);
}

QStringList StatsPanel::lines() const
{
    const StreamHealth &h = m_health;
    const PlayerStats &s = h.stats;
    QStringList out;
    QString source = s.sourceLabel.isEmpty() ? QStringLiteral("—") : s.sourceLabel;
    if (s.sourceCount > 0)
        source += QStringLiteral(" (%1 из %2)").arg(s.sourceIndex + 1).arg(s.sourceCount);
    out << QStringLiteral("Источник: %1 · кусок %2")
               .arg(source, h.pieceLength > 0 ? sizeText(h.pieceLength) : QStringLiteral("—"));
    out << QStringLiteral("Пиры: %1, из них сидов %2 (известно %3)")
               .arg(s.numPeers)
               .arg(s.numSeeds)
               .arg(s.listPeers);
    out << QStringLiteral("Загрузка %1 · отдача %2 (60 с)")
               .arg(speedText(double(s.downloadRate)), speedText(double(s.uploadRate)));
    out << QStringLiteral("Буфер: %1 с впереди · окно %2 кусков (%3)%4")
               .arg(h.aheadSec, 0, 'f', 1)
               .arg(h.windowPieces)
               .arg(sizeText(h.windowBytes),
                    s.state == QLatin1String("buffering") ? QStringLiteral(" · ждём данные") : QString());
    QString pieces = QStringLiteral("Куски файла: %1 из %2").arg(h.piecesDone()).arg(h.pieces.size());
    if (h.readPiece >= 0 && h.firstPiece >= 0)
        pieces += QStringLiteral(" · читается %1-й").arg(h.readPiece - h.firstPiece + 1);
    out << pieces;
    out << (h.level >= 0 ? QStringLiteral("Рендер: уровень %1 (%2) · пропущено кадров %3")
                               .arg(h.level)
                               .arg(h.levelName)
                               .arg(h.droppedFrames)
                         : QStringLiteral("Рендер: —"));
    out << (h.pipeline.isEmpty() ? QStringLiteral("—") : h.pipeline);
    out << QStringLiteral("Кэш: %1 из %2")
               .arg(sizeText(h.cacheHeld),
                    h.cacheCap > 0 ? sizeText(h.cacheCap) : QStringLiteral("без ограничения"));
    return out;
}

void StatsPanel::paintEvent(QPaintEvent *)
{
    if (m_surface)
        return;
    QPainter p(this);
    paintPanel(p);
}

void StatsPanel::paintPanel(QPainter &p) const
{
    p.fillRect(rect(), kBackground);
    p.setPen(kBorder);
    p.drawRect(rect().adjusted(0, 0, -1, -1));

    const QStringList text = lines();
    const int w = width() - 2 * kPad;
    int y = kPad;
    auto line = [&](const QString &s, const QColor &c) {
        p.setPen(c);
        p.drawText(QRect(kPad, y, w, kLine), Qt::AlignLeft | Qt::AlignVCenter,
                   p.fontMetrics().elidedText(s, Qt::ElideRight, w));
        y += kLine;
    };
    line(text.at(0), kText);
    line(text.at(1), kText);
    // Rates with the graph's colours as legend.
    p.fillRect(QRect(kPad, y + 5, 6, 6), kDown);
    p.fillRect(QRect(kPad + 10, y + 5, 6, 6), kUp);
    p.setPen(kText);
    p.drawText(QRect(kPad + 22, y, w - 22, kLine), Qt::AlignLeft | Qt::AlignVCenter, text.at(2));
    y += kLine;
    paintGraph(p, QRect(kPad, y + 2, w, kGraphHeight - 4));
    y += kGraphHeight + 6;
    line(text.at(3), kText);
    paintPieces(p, QRect(kPad, y + 2, w, kBarHeight - 2));
    y += kBarHeight + 6;
    line(text.at(4), kDim);
    line(text.at(5), kText);
    line(text.at(6), kDim);
    line(text.at(7), kText);
}

void StatsPanel::paintGraph(QPainter &p, const QRect &r) const
{
    p.fillRect(r, QColor(24, 27, 34));
    qint64 top = 100000; // at least 100 KB/s high, so a trickle stays a trickle
    for (const auto &s : m_history)
        top = qMax(top, qMax(s.first, s.second));
    p.setPen(kDim);
    QFont small = p.font();
    small.setPixelSize(10);
    p.save();
    p.setFont(small);
    p.drawText(r.adjusted(0, 0, -3, 0), Qt::AlignRight | Qt::AlignTop, speedText(double(top)));
    p.restore();
    if (m_history.size() < 2)
        return;
    const double step = double(r.width()) / (kHistorySeconds - 1);
    const int offset = kHistorySeconds - int(m_history.size());
    auto point = [&](int i, qint64 v) {
        return QPointF(r.left() + (offset + i) * step,
                       r.bottom() - double(v) / double(top) * (r.height() - 1));
    };
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath down;
    down.moveTo(point(0, 0).x(), r.bottom());
    for (int i = 0; i < m_history.size(); ++i)
        down.lineTo(point(i, m_history.at(i).first));
    down.lineTo(point(int(m_history.size()) - 1, 0).x(), r.bottom());
    QColor fill = kDown;
    fill.setAlpha(90);
    p.fillPath(down, fill);
    QPolygonF downLine, upLine;
    for (int i = 0; i < m_history.size(); ++i) {
        downLine << point(i, m_history.at(i).first);
        upLine << point(i, m_history.at(i).second);
    }
    p.setPen(QPen(kDown, 1.5));
    p.drawPolyline(downLine);
    p.setPen(QPen(kUp, 1.5));
    p.drawPolyline(upLine);
    p.setRenderHint(QPainter::Antialiasing, false);
}

// One column per pixel: wanted pieces show even when a column covers many pieces, a column
// is downloaded when most of its pieces are.
void StatsPanel::paintPieces(QPainter &p, const QRect &r) const
{
    p.fillRect(r, kMissing);
    const QByteArray &s = m_health.pieces;
    const int n = int(s.size());
    if (n == 0)
        return;
    const int w = r.width();
    for (int x = 0; x < w; ++x) {
        const int a = int(qint64(x) * n / w);
        const int b = qMax(a + 1, int(qint64(x + 1) * n / w));
        int done = 0;
        bool wanted = false;
        for (int i = a; i < b && i < n; ++i) {
            done += s.at(i) == 'd';
            wanted = wanted || s.at(i) == 'w';
        }
        if (wanted)
            p.fillRect(QRect(r.left() + x, r.top(), 1, r.height()), kWanted);
        else if (2 * done >= b - a)
            p.fillRect(QRect(r.left() + x, r.top(), 1, r.height()), kDown);
    }
    if (m_health.readPiece >= m_health.firstPiece && m_health.firstPiece >= 0) {
        const int i = m_health.readPiece - m_health.firstPiece;
        const int x = r.left() + int((i + 0.5) * w / n);
        p.fillRect(QRect(x - 1, r.top() - 3, 2, r.height() + 6), Qt::white);
    }
}

} // namespace svd
