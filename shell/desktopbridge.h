#pragma once

#include <QList>
#include <QObject>
#include <QRect>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <functional>

namespace svd {

// The native object published to every page as "sorvantaDesktop". It checks
// the page origin and the arguments, answers what it can at once and forwards
// the rest as signals; the shell answers later by emitting `reply` and sends
// events by emitting `playerEvent` / `configChanged` on this object.
class DesktopBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QStringList capabilities READ capabilities CONSTANT)
public:
    using UrlSource = std::function<QUrl()>;
    using ExternalOpener = std::function<bool(const QUrl &)>;
    using StatsSource = std::function<QVariantMap()>;

    DesktopBridge(const QString &version, const QStringList &allowedHosts, UrlSource pageUrl,
                  QObject *parent = nullptr);

    QString version() const { return m_version; }
    static QStringList capabilities();
    QStringList allowedHosts() const { return m_allowedHosts; }

    // Checks the page currently shown in the main frame (not the caller).
    bool originAllowed() const;

    // The system browser by default; replaceable so tests never launch one.
    void setExternalOpener(ExternalOpener opener) { m_opener = std::move(opener); }

    // What the `stats` event carries, asked once a second while the page watches.
    void setStatsSource(StatsSource source) { m_statsSource = std::move(source); }
    bool watchingStats() const { return m_statsTimer.isActive(); }
    // A new document is loading in the main frame: the page that asked for statistics is
    // going away, and the next one asks again if it wants them.
    void onMainFrameLoad(const QUrl &url);

    Q_INVOKABLE void play(const QVariantMap &args, int reqId);
    Q_INVOKABLE void isAvailable(qint64 animeId, int episode, int reqId);
    Q_INVOKABLE void setVideoRect(const QVariantMap &r, int reqId);
    Q_INVOKABLE void openExternal(const QString &url, int reqId);
    Q_INVOKABLE void stop(int reqId);
    Q_INVOKABLE void getTracks(int reqId);
    Q_INVOKABLE void setDub(const QString &label, int reqId);
    Q_INVOKABLE void setSubtitle(int id, int reqId);
    Q_INVOKABLE void reportClientInfo(const QVariantMap &info, int reqId);
    Q_INVOKABLE void watchStats(bool on, int reqId);

    // Shell-side helpers for the event payloads.
    void sendEvent(const QString &type, QVariantMap ev);

signals:
    void reply(int reqId, const QVariantMap &result);
    void playerEvent(const QVariantMap &ev);
    void configChanged(const QVariantMap &cfg);
    void clientInfo(const QVariantMap &info);
    void playRequested(qint64 animeId, int episode, const QString &title, const QString &dub,
                       const QString &subtitle, int reqId);
    void tracksRequested(int reqId);
    void dubRequested(const QString &label);
    void subtitleRequested(int sid);
    void availabilityRequested(qint64 animeId, int episode, int reqId);
    void videoRectChanged(const QRect &cssRect, double dpr, bool visible, const QList<QRect> &holes);
    void stopRequested();

private:
    QString pageUrlText() const;
    void sendStats();

    QString m_version;
    QStringList m_allowedHosts;
    UrlSource m_pageUrl;
    ExternalOpener m_opener;
    StatsSource m_statsSource;
    QTimer m_statsTimer;
};

} // namespace svd
