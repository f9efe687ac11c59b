#include "tools/swarmlab/labfiles.h"

#include <libtorrent/bdecode.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/entry.hpp>
#include <libtorrent/torrent_info.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTcpServer>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>
#include <random>
#include <exception>
#include <iterator>

namespace svd::lab {

namespace {

QByteArray readAll(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return {};
    }
    return f.readAll();
}

} // namespace

bool writeTorrentWithTracker(const QString &from, const QString &to, const QString &trackerUrl, QString *error)
{
    const QByteArray bytes = readAll(from, error);
    if (bytes.isEmpty())
        return false;
    std::vector<char> out;
    try {
        lt::error_code ec;
        const lt::bdecode_node node = lt::bdecode(lt::span<const char>(bytes.constData(), bytes.size()), ec);
        if (ec || node.type() != lt::bdecode_node::dict_t) {
            if (error)
                *error = QStringLiteral("%1 is not a torrent").arg(from);
            return false;
        }
        lt::entry e(node);
        e.dict().erase("announce-list");
        e.dict().erase("announce");
        if (!trackerUrl.isEmpty())
            e["announce"] = trackerUrl.toStdString();
        lt::bencode(std::back_inserter(out), e);
    } catch (const std::exception &ex) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(from, QString::fromLocal8Bit(ex.what()));
        return false;
    }
    QSaveFile f(to);
    if (!f.open(QIODevice::WriteOnly) || f.write(out.data(), qint64(out.size())) != qint64(out.size()) ||
        !f.commit()) {
        if (error)
            *error = QStringLiteral("cannot write ") + to;
        return false;
    }
    return true;
}

bool readLayout(const QString &torrentFile, qint64 headBytes, PieceLayout *out, QString *error)
{
    std::shared_ptr<lt::torrent_info> ti;
    try {
        ti = std::make_shared<lt::torrent_info>(QFile::encodeName(torrentFile).toStdString());
    } catch (const std::exception &ex) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(torrentFile, QString::fromLocal8Bit(ex.what()));
        return false;
    }
    const lt::file_storage &fs = ti->files();
    lt::file_index_t largest{0};
    for (const lt::file_index_t f : fs.file_range())
        if (fs.file_size(f) > fs.file_size(largest))
            largest = f;
    const qint64 head = std::min<qint64>(headBytes, fs.file_size(largest));
    const int first = static_cast<int>(fs.map_file(largest, 0, 1).piece);
    const int last = static_cast<int>(fs.map_file(largest, std::max<qint64>(0, head - 1), 1).piece);
    out->head.clear();
    for (int p = first; p <= last; ++p)
        out->head.append(p);
    out->numPieces = ti->num_pieces();
    const lt::sha1_hash h = ti->info_hashes().v1;
    out->infoHash = QByteArray(h.data(), int(h.size()));
    out->name = QString::fromStdString(ti->name());
    out->metadataSize = ti->info_section().size();
    return true;
}

QList<QList<int>> assignPieces(const QList<SeederSpec> &seeders, const PieceLayout &layout, quint32 seed)
{
    QList<QList<int>> out;
    std::mt19937 rng(seed);
    for (const SeederSpec &s : seeders) {
        QList<int> held;
        if (s.partial()) {
            const int pct = std::uniform_int_distribution<int>(s.partialMinPct, s.partialMaxPct)(rng);
            const int want = std::max(1, int(std::lround(layout.numPieces * pct / 100.0)));
            std::vector<int> rest;
            for (int p = 0; p < layout.numPieces; ++p)
                if (s.head == HeadShare::Any || !layout.head.contains(p))
                    rest.push_back(p);
            std::shuffle(rest.begin(), rest.end(), rng);
            if (s.head == HeadShare::With)
                held = layout.head;
            for (size_t k = 0; k < rest.size() && held.size() < want; ++k)
                held.append(rest[k]);
            std::sort(held.begin(), held.end());
        }
        out.append(held);
    }
    return out;
}

QString pieceRanges(const QList<int> &pieces)
{
    QStringList parts;
    for (qsizetype i = 0; i < pieces.size();) {
        qsizetype j = i;
        while (j + 1 < pieces.size() && pieces.at(j + 1) == pieces.at(j) + 1)
            ++j;
        parts << (i == j ? QString::number(pieces.at(i)) : QStringLiteral("%1-%2").arg(pieces.at(i)).arg(pieces.at(j)));
        i = j + 1;
    }
    return parts.join(QLatin1Char(','));
}

bool writeCorruptCopy(const QString &torrentFile, const QString &contentDir, const QString &toDir,
                      const QList<int> &pieces, int *corrupted, QString *error)
{
    auto fail = [&](const QString &what) {
        if (error)
            *error = what;
        return false;
    };
    std::shared_ptr<lt::torrent_info> ti;
    try {
        ti = std::make_shared<lt::torrent_info>(QFile::encodeName(torrentFile).toStdString());
    } catch (const std::exception &ex) {
        return fail(QStringLiteral("%1: %2").arg(torrentFile, QString::fromLocal8Bit(ex.what())));
    }
    const lt::file_storage &fs = ti->files();
    QList<QString> paths;
    for (const lt::file_index_t f : fs.file_range()) {
        const QString rel = QString::fromStdString(fs.file_path(f));
        const QString target = toDir + QLatin1Char('/') + rel;
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile::remove(target);
        if (!QFile::copy(contentDir + QLatin1Char('/') + rel, target))
            return fail(QStringLiteral("cannot copy %1 to %2").arg(rel, toDir));
        QFile(target).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                     QFileDevice::ReadOther);
        paths.append(target);
    }
    *corrupted = 0;
    for (const int p : pieces) {
        if (p < 0 || p >= ti->num_pieces())
            continue;
        ++*corrupted;
        const lt::piece_index_t piece(p);
        const int size = ti->piece_size(piece);
        for (int block = 0; block < size; block += 16384) {
            const auto slices = fs.map_block(piece, block, 1);
            if (slices.empty())
                continue;
            QFile f(paths.value(int(static_cast<int>(slices.front().file_index))));
            char c = 0;
            if (!f.open(QIODevice::ReadWrite) || !f.seek(slices.front().offset) || !f.getChar(&c) ||
                !f.seek(slices.front().offset) || !f.putChar(char(~c)))
                return fail(QStringLiteral("cannot corrupt piece %1 in %2").arg(p).arg(f.fileName()));
        }
    }
    return true;
}

int freeLoopbackPort(bool v6too)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = tcp.serverPort();
        QUdpSocket udp;
        if (!udp.bind(QHostAddress::LocalHost, port))
            continue;
        if (!v6too)
            return port;
        QTcpServer tcp6;
        QUdpSocket udp6;
        if (tcp6.listen(QHostAddress::LocalHostIPv6, port) && udp6.bind(QHostAddress::LocalHostIPv6, port))
            return port;
    }
    return 0;
}

} // namespace svd::lab
