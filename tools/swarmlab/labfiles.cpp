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
