#include "torrent/torrentfiles.h"

namespace svd {

QString TorrentFiles::name() const
{
    return m_info ? QString::fromStdString(m_info->name()) : QString();
}

int TorrentFiles::count() const
{
    return m_info ? m_info->num_files() : 0;
}

bool TorrentFiles::valid(int file) const
{
    return m_info && file >= 0 && file < m_info->num_files();
}

QString TorrentFiles::path(int file) const
{
    if (!valid(file))
        return {};
    QString p = QString::fromStdString(m_info->files().file_path(lt::file_index_t(file)));
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return p;
}

FileSpan TorrentFiles::span(int file) const
{
    const lt::file_storage &fs = m_info->files();
    return {fs.file_offset(lt::file_index_t(file)), fs.file_size(lt::file_index_t(file))};
}

bool TorrentFiles::isPad(int file) const
{
    return valid(file) && m_info->files().pad_file_at(lt::file_index_t(file));
}

int TorrentFiles::resolve(int index, const QString &rawPath) const
{
    QString wanted = rawPath;
    wanted.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const int n = count();
    auto usable = [&](int i) { return !m_info->files().pad_file_at(lt::file_index_t(i)); };
    if (index >= 0 && index < n && usable(index)) {
        if (wanted.isEmpty() || path(index).compare(wanted, Qt::CaseInsensitive) == 0)
            return index;
    }
    if (wanted.isEmpty())
        return -1;
    for (int i = 0; i < n; ++i) {
        if (usable(i) && path(i).compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    const int slash = wanted.indexOf(QLatin1Char('/'));
    const QString tail = slash < 0 ? QString() : wanted.mid(slash + 1);
    if (!tail.isEmpty()) {
        for (int i = 0; i < n; ++i) {
            if (usable(i) && path(i).endsWith(tail, Qt::CaseInsensitive))
                return i;
        }
    }
    return -1;
}

} // namespace svd
