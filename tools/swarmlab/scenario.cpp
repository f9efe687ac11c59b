#include "tools/swarmlab/scenario.h"

#include <QFile>
#include <QRegularExpression>

namespace svd::lab {

QString kindName(SeederKind kind)
{
    return kind == SeederKind::Aria2 ? QStringLiteral("aria2") : QStringLiteral("lt");
}

QString transportName(Transport transport)
{
    switch (transport) {
    case Transport::Tcp:
        return QStringLiteral("tcp");
    case Transport::Utp:
        return QStringLiteral("utp");
    case Transport::Both:
        break;
    }
    return QStringLiteral("both");
}

namespace {

bool parsePieces(const QString &text, QList<int> *out)
{
    static const QRegularExpression range(QStringLiteral("^(\\d+)(?:-(\\d+)(?:/(\\d+))?)?$"));
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = range.match(item);
        if (!m.hasMatch())
            return false;
        const int from = m.captured(1).toInt();
        const int to = m.captured(2).isEmpty() ? from : m.captured(2).toInt();
        const int step = m.captured(3).isEmpty() ? 1 : m.captured(3).toInt();
        if (to < from || step < 1 || to - from > 1000000)
            return false;
        for (int p = from; p <= to; p += step)
            out->append(p);
    }
    return !out->isEmpty();
}

// "A-B" with 0 <= A <= B <= max (or "A" alone when `single` is allowed).
bool parseRange(const QString &value, int max, bool single, int *lo, int *hi)
{
    const QStringList parts = value.split(QLatin1Char('-'));
    bool ok1 = false;
    bool ok2 = false;
    *lo = parts.first().toInt(&ok1);
    *hi = parts.size() == 2 ? parts.last().toInt(&ok2) : *lo;
    ok2 = parts.size() == 2 ? ok2 : single && parts.size() == 1;
    return ok1 && ok2 && *lo >= 0 && *lo <= *hi && *hi <= max;
}

// A seeder line before its count is applied: a rate range spreads the copies over it.
struct SeederLine {
    SeederSpec spec;
    int count = 1;
    int rateHigh = 0;
};

bool applyTransport(const QString &value, SeederSpec *s)
{
    const QList<QPair<QString, Transport>> names{{QStringLiteral("tcp"), Transport::Tcp},
                                                 {QStringLiteral("utp"), Transport::Utp},
                                                 {QStringLiteral("both"), Transport::Both}};
    for (const auto &[name, t] : names)
        if (value == name) {
            s->transport = t;
            return true;
        }
    return false;
}

// Keys only a libtorrent seeder has: its unchoke slots and the share of pieces it holds.
bool applyLibtorrentKey(const QString &key, const QString &value, SeederSpec *s)
{
    bool ok = false;
    if (key == QLatin1String("slots")) {
        s->unchokeSlots = value.toInt(&ok);
        return ok && s->unchokeSlots >= 1 && s->unchokeSlots <= 100;
    }
    if (key == QLatin1String("partial"))
        return parseRange(value, 100, true, &s->partialMinPct, &s->partialMaxPct) && s->partialMinPct > 0 &&
               s->partialMaxPct < 100;
    if (key == QLatin1String("head") && (value == QLatin1String("yes") || value == QLatin1String("no"))) {
        s->head = value == QLatin1String("yes") ? HeadShare::With : HeadShare::Without;
        return true;
    }
    return false;
}

// Applies one key=value of a seeder line; false when the key or value is bad.
bool applySeederKey(const QString &key, const QString &value, SeederLine *line)
{
    SeederSpec *s = &line->spec;
    bool ok = false;
    if (key == QLatin1String("rate"))
        return parseRange(value, 2000000, true, &s->rateKBps, &line->rateHigh);
    if (key == QLatin1String("transport"))
        return applyTransport(value, s);
    if (key == QLatin1String("start")) {
        s->startDelaySec = value.toDouble(&ok);
        return ok && s->startDelaySec >= 0;
    }
    if (key == QLatin1String("leave")) {
        s->leaveAfterSec = value.toDouble(&ok);
        return ok && s->leaveAfterSec >= 0;
    }
    if (key == QLatin1String("corrupt"))
        return parsePieces(value, &s->corruptPieces);
    if (key == QLatin1String("latency") || key == QLatin1String("jitter")) {
        int &ms = key == QLatin1String("latency") ? s->latencyMs : s->jitterMs;
        ms = value.toInt(&ok);
        return ok && ms >= 0 && ms <= 10000;
    }
    if (key == QLatin1String("count")) {
        line->count = value.toInt(&ok);
        return ok && line->count >= 1 && line->count <= 64;
    }
    return applyLibtorrentKey(key, value, s);
}

// "seeder ..." (words after the first); appends its copies to `sc`, or says what is wrong.
QString parseSeeder(const QStringList &words, Scenario *sc)
{
    SeederLine line;
    SeederSpec &s = line.spec;
    if (words.size() < 2 || (words.at(1) != QLatin1String("lt") && words.at(1) != QLatin1String("aria2")))
        return QStringLiteral("seeder kind must be lt or aria2");
    if (words.at(1) == QLatin1String("aria2")) {
        s.kind = SeederKind::Aria2;
        s.transport = Transport::Tcp;
    }
    for (qsizetype w = 2; w < words.size(); ++w) {
        const qsizetype eq = words.at(w).indexOf(QLatin1Char('='));
        if (eq <= 0 || !applySeederKey(words.at(w).left(eq), words.at(w).mid(eq + 1), &line))
            return QStringLiteral("bad seeder option ") + words.at(w);
    }
    if (s.kind == SeederKind::Aria2 && s.transport != Transport::Tcp)
        return QStringLiteral("aria2 speaks TCP only");
    if (s.kind == SeederKind::Aria2 && (s.unchokeSlots > 0 || s.partial() || s.head != HeadShare::Any))
        return QStringLiteral("slots, partial and head are for lt seeders");
    if (s.head != HeadShare::Any && !s.partial())
        return QStringLiteral("head goes with partial");
    const int low = s.rateKBps;
    for (int c = 0; c < line.count; ++c) {
        if (line.count > 1)
            s.rateKBps = low + int(qint64(line.rateHigh - low) * c / (line.count - 1));
        sc->seeders.append(s);
    }
    return {};
}

// "slowleecher rate=N", "silent count=N", "closed count=N", "dht count=N".
QString parseExtra(const QStringList &words, Scenario *sc)
{
    const QString &head = words.first();
    const QString key = head == QLatin1String("slowleecher") ? QStringLiteral("rate=") : QStringLiteral("count=");
    bool ok = false;
    const int n = words.size() == 2 && words.at(1).startsWith(key) ? words.at(1).mid(key.size()).toInt(&ok) : -1;
    if (!ok || n < 0 || n > (head == QLatin1String("slowleecher") ? 2000000 : 200))
        return QStringLiteral("%1 takes %2N").arg(head, key);
    if (head == QLatin1String("slowleecher"))
        sc->slowLeecherKBps = n;
    else if (head == QLatin1String("silent"))
        sc->silentPeers = n;
    else if (head == QLatin1String("closed"))
        sc->closedPorts = n;
    else
        sc->dhtNodes = n;
    return {};
}

// "scenario NAME [options]"; says what is wrong, if anything.
QString parseHeader(const QStringList &words, const QList<Scenario> &before, Scenario *sc)
{
    if (words.size() < 2)
        return QStringLiteral("scenario needs a name");
    sc->name = words.at(1);
    for (const Scenario &other : before)
        if (other.name == sc->name)
            return QStringLiteral("scenario %1 twice").arg(sc->name);
    static const QRegularExpression mediaName(QStringLiteral("^[a-z0-9][a-z0-9-]*$"));
    for (qsizetype w = 2; w < words.size(); ++w) {
        const QString &word = words.at(w);
        bool ok = false;
        if (word.startsWith(QLatin1String("media="))) {
            sc->media = word.mid(6);
            if (!mediaName.match(sc->media).hasMatch())
                return QStringLiteral("media must be a name of lower-case letters, digits and '-'");
        } else if (word == QLatin1String("source=magnet") || word == QLatin1String("source=torrent")) {
            sc->source = word.endsWith(QLatin1String("magnet")) ? SourceKind::Magnet : SourceKind::Torrent;
        } else if (word.startsWith(QLatin1String("piece="))) {
            sc->pieceKiB = word.mid(6).toInt(&ok);
            if (!ok || sc->pieceKiB < 16 || (sc->pieceKiB & (sc->pieceKiB - 1)) != 0)
                return QStringLiteral("piece must be a power of two >= 16 (KiB)");
        } else {
            return QStringLiteral("unknown scenario option ") + word;
        }
    }
    return {};
}

// What is wrong with a whole scenario, if anything.
QString checkScenario(const Scenario &sc)
{
    if (sc.seeders.isEmpty())
        return QStringLiteral("scenario %1 has no seeder").arg(sc.name);
    bool withSlots = false;
    for (const SeederSpec &s : sc.seeders)
        withSlots = withSlots || s.unchokeSlots > 0;
    if (sc.slowLeecherKBps >= 0 && !withSlots)
        return QStringLiteral("scenario %1: a slow leecher needs a seeder with slots").arg(sc.name);
    if (sc.dhtNodes > 0 && (sc.silentPeers > 0 || sc.closedPorts > 0))
        return QStringLiteral("scenario %1: silent and closed peers are given out by the tracker, "
                              "which a DHT scenario has not").arg(sc.name);
    return {};
}

} // namespace

bool parseScenarios(const QString &text, const QString &fileName, QList<Scenario> *out, QString *error)
{
    QList<Scenario> result;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString &head = words.first();
        QString what;
        if (head == QLatin1String("scenario")) {
            Scenario sc;
            what = parseHeader(words, result, &sc);
            result.append(sc);
        } else if (result.isEmpty()) {
            what = QStringLiteral("'%1' before the first scenario").arg(head);
        } else if (head == QLatin1String("about")) {
            result.last().about = line.mid(5).trimmed();
        } else if (head == QLatin1String("seeder")) {
            what = parseSeeder(words, &result.last());
        } else if (QStringList{QStringLiteral("slowleecher"), QStringLiteral("silent"), QStringLiteral("closed"),
                               QStringLiteral("dht")}
                       .contains(head)) {
            what = parseExtra(words, &result.last());
        } else {
            what = QStringLiteral("unknown line ") + head;
        }
        if (!what.isEmpty()) {
            if (error)
                *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(i + 1).arg(what);
            return false;
        }
    }
    for (const Scenario &sc : result)
        if (const QString what = checkScenario(sc); !what.isEmpty()) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(fileName, what);
            return false;
        }
    *out = result;
    return true;
}

bool loadScenarios(const QString &path, QList<Scenario> *out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    return parseScenarios(QString::fromUtf8(f.readAll()), path, out, error);
}

} // namespace svd::lab
