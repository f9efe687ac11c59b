#include "sources/apiprovider.h"

#include "base/log.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include <memory>

namespace svd {

ApiProvider::ApiProvider(const QUrl &baseUrl, QObject *parent)
    : SourceProvider(parent), m_base(baseUrl), m_net(new QNetworkAccessManager(this))
{
}

QString ApiProvider::describe() const
{
    return QStringLiteral("api ") + m_base.toString();
}

QNetworkRequest ApiProvider::makeRequest(const QUrl &url, const char *accept) const
{
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::UserAgentHeader, nativeUserAgent());
    req.setRawHeader("Accept", accept);
    req.setTransferTimeout(m_timeoutMs);
    return req;
}

void ApiProvider::fetchEpisode(qint64 animeId, int episode, EpisodeCallback done)
{
    QUrl url = m_base.resolved(QUrl(QStringLiteral("/api/anime/%1/torrents").arg(animeId)));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("episode"), QString::number(episode));
    url.setQuery(query);

    QNetworkReply *reply = m_net->get(makeRequest(url, "application/json"));
    // Queued: the callback must never run inside this call, even when the
    // access manager reports an immediate failure.
    connect(
        reply, &QNetworkReply::finished, this,
        [reply, url, animeId, episode, done = std::move(done)]() {
            reply->deleteLater();
            EpisodeSources result;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status == 404) {
                result.error = QStringLiteral("404");
            } else if (reply->error() != QNetworkReply::NoError) {
                result.error = QStringLiteral("%1: %2").arg(url.toString(), reply->errorString());
            } else {
                QJsonParseError perr;
                const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll(), &perr);
                if (perr.error != QJsonParseError::NoError)
                    result.error = QStringLiteral("bad JSON: ") + perr.errorString();
                else
                    result = EpisodeSources::fromJson(doc.object(), QString());
            }
            if (result.animeId == 0)
                result.animeId = animeId;
            if (result.episode == 0)
                result.episode = episode;
            done(std::move(result));
        },
        Qt::QueuedConnection);
}

QUrl ApiProvider::torrentUrlFor(const SourceInfo &source) const
{
    const QString &t = source.torrentUrl;
    if (t.startsWith(QLatin1String("http://")) || t.startsWith(QLatin1String("https://")))
        return QUrl(t);
    if (!t.isEmpty())
        return m_base.resolved(QUrl(t));
    return m_base.resolved(QUrl(QStringLiteral("/api/torrents/%1/file").arg(source.infoHash)));
}

void ApiProvider::fetchTorrent(const SourceInfo &source, TorrentCallback done)
{
    const QUrl url = torrentUrlFor(source);
    // The address comes from the backend's answer: only the web may be asked,
    // never local files, data: or resource URLs.
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        QMetaObject::invokeMethod(
            this,
            [url, scheme, done = std::move(done)] {
                done(QByteArray(),
                     QStringLiteral(".torrent address scheme '%1' not allowed (http/https only): %2")
                         .arg(scheme, url.toString()));
            },
            Qt::QueuedConnection);
        return;
    }
    QNetworkReply *reply = m_net->get(makeRequest(url, "application/x-bittorrent"));
    // Checked while the body arrives, so an endless answer stops at the cap
    // instead of growing memory until the transfer time-out.
    auto tooLarge = std::make_shared<bool>(false);
    const qint64 cap = m_maxTorrentBytes;
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, tooLarge, cap](qint64 received, qint64 total) {
                if (!*tooLarge && (received > cap || total > cap)) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(
        reply, &QNetworkReply::finished, this,
        [reply, url, tooLarge, cap, done = std::move(done)]() {
            reply->deleteLater();
            if (*tooLarge) {
                done(QByteArray(), QStringLiteral(".torrent larger than %1 bytes: %2")
                                       .arg(QString::number(cap), url.toString()));
                return;
            }
            if (reply->error() != QNetworkReply::NoError) {
                done(QByteArray(), QStringLiteral("%1: %2").arg(url.toString(), reply->errorString()));
                return;
            }
            const QByteArray body = reply->readAll();
            if (body.isEmpty() || body.at(0) != 'd') {
                done(QByteArray(), QStringLiteral("not a .torrent: ") + url.toString());
                return;
            }
            done(body, QString());
        },
        Qt::QueuedConnection);
}

} // namespace svd
