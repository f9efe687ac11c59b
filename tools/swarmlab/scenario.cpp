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

// Applies one key=value of a seeder line; false when the key or value is bad.
bool applySeederKey(const QString &key, const QString &value, SeederSpec *s, int *count)
{
    bool ok = false;
    if (key == QLatin1String("rate")) {
        s->rateKBps = value.toInt(&ok);
        return ok && s->rateKBps >= 0;
    }
    if (key == QLatin1String("transport")) {
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
    if (key == QLatin1String("latency")) {
        s->latencyMs = value.toInt(&ok);
        return ok && s->latencyMs >= 0 && s->latencyMs <= 10000;
    }
    if (key == QLatin1String("jitter")) {
        s->jitterMs = value.toInt(&ok);
        return ok && s->jitterMs >= 0 && s->jitterMs <= 10000;
    }
    if (key == QLatin1String("count")) {
        *count = value.toInt(&ok);
        return ok && *count >= 1 && *count <= 64;
    }
    return false;
}

} // namespace

bool parseScenarios(const QString &text, const QString &fileName, QList<Scenario> *out, QString *error)
{
    QList<Scenario> result;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        auto fail = [&](const QString &what) {
            if (error)
                *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(i + 1).arg(what);
            return false;
        };
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString &head = words.first();
        if (head == QLatin1String("scenario")) {
            if (words.size() < 2)
                return fail(QStringLiteral("scenario needs a name"));
            Scenario sc;
            sc.name = words.at(1);
            for (const Scenario &other : result)
                if (other.name == sc.name)
                    return fail(QStringLiteral("scenario %1 twice").arg(sc.name));
            static const QRegularExpression mediaName(QStringLiteral("^[a-z0-9][a-z0-9-]*$"));
            for (qsizetype w = 2; w < words.size(); ++w) {
                bool ok = false;
                if (words.at(w).startsWith(QLatin1String("media="))) {
                    sc.media = words.at(w).mid(6);
                    if (!mediaName.match(sc.media).hasMatch())
                        return fail(QStringLiteral("media must be a name of lower-case letters, digits and '-'"));
                    continue;
                }
                if (!words.at(w).startsWith(QLatin1String("piece=")))
                    return fail(QStringLiteral("unknown scenario option ") + words.at(w));
                sc.pieceKiB = words.at(w).mid(6).toInt(&ok);
                if (!ok || sc.pieceKiB < 16 || (sc.pieceKiB & (sc.pieceKiB - 1)) != 0)
                    return fail(QStringLiteral("piece must be a power of two >= 16 (KiB)"));
            }
            result.append(sc);
            continue;
        }
        if (result.isEmpty())
            return fail(QStringLiteral("'%1' before the first scenario").arg(head));
        Scenario &sc = result.last();
        if (head == QLatin1String("about")) {
            sc.about = line.mid(5).trimmed();
        } else if (head == QLatin1String("seeder")) {
            SeederSpec s;
            if (words.size() < 2 || (words.at(1) != QLatin1String("lt") && words.at(1) != QLatin1String("aria2")))
                return fail(QStringLiteral("seeder kind must be lt or aria2"));
            if (words.at(1) == QLatin1String("aria2")) {
                s.kind = SeederKind::Aria2;
                s.transport = Transport::Tcp;
            }
            int count = 1;
            for (qsizetype w = 2; w < words.size(); ++w) {
                const qsizetype eq = words.at(w).indexOf(QLatin1Char('='));
                if (eq <= 0 || !applySeederKey(words.at(w).left(eq), words.at(w).mid(eq + 1), &s, &count))
                    return fail(QStringLiteral("bad seeder option ") + words.at(w));
            }
            if (s.kind == SeederKind::Aria2 && s.transport != Transport::Tcp)
                return fail(QStringLiteral("aria2 speaks TCP only"));
            for (int c = 0; c < count; ++c)
                sc.seeders.append(s);
        } else {
            return fail(QStringLiteral("unknown line ") + head);
        }
    }
    for (const Scenario &sc : result)
        if (sc.seeders.isEmpty()) {
            if (error)
                *error = QStringLiteral("%1: scenario %2 has no seeder").arg(fileName, sc.name);
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
