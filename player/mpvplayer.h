#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

struct mpv_handle;
struct mpv_node;

namespace svd {

class SeekWaker;
class TorrentEngine;

// The one object through which the application drives libmpv. Lives on the GUI
// thread; libmpv's threads only ever post a queued pump() to it.
class MpvPlayer : public QObject {
    Q_OBJECT

public:
    struct InitOptions {
        qint64 wid = 0;         // native window for mpv's own video window (0 = none)
        bool renderApi = false; // the application draws through the render API
        bool headless = false;  // no video and no audio output at all
        QString logFile;        // mpv's own log file; empty = none
        int demuxerMaxMiB = 300;
        int demuxerBackMiB = 32;
        int cacheSecs = 300;
        double volume = 100.0;
        bool mute = false;
    };

    explicit MpvPlayer(QObject *parent = nullptr);
    ~MpvPlayer() override;

    bool init(const InitOptions &options, TorrentEngine *engine);
    void destroy();

    bool isInitialized() const { return m_mpv != nullptr; }
    mpv_handle *handle() const { return m_mpv; }
    const InitOptions &options() const { return m_options; }

    void setProp(const QString &name, const QVariant &value);
    QVariant getProp(const QString &name) const;
    void observe(const QString &name);
    void command(const QStringList &args);
    void commandAsync(const QStringList &args, std::function<void(int)> done);

    void loadFile(const QString &url, const QStringList &audioFiles);
    void stop();
    void reinitVideo();
    void setReadAhead(bool tight);

    // The address last given to loadFile.
    QString currentUrl() const { return m_url; }

    QVariant cachedProp(const QString &name) const { return m_props.value(name); }
    QVariantList trackList() const { return m_props.value(QStringLiteral("track-list")).toList(); }
    QVariantList tracksOfType(const QString &type) const;

    static QString errorString(int code);
    static QString clientApiVersion();
    static QVariant nodeToVariant(const mpv_node *node);

public slots:
    void pump();

signals:
    void propertyChanged(const QString &name, const QVariant &value);
    // The file's tracks are known and playback has not begun (mpv's "on_preloaded" hook):
    // track choices made by receivers now take effect before any reading ahead.
    void preloaded();
    void fileLoaded();
    void playbackRestart();
    void endFile(int reason, int error, long long entryId);
    void startFile(long long entryId);
    void idleChanged(bool idle);
    void clientMessage(const QStringList &args);
    void shutdownRequested();
    void aboutToDestroy();

private:
    void setOption(const char *name, const QString &value);
    // Parts of init(), in this order: options, video output, then after mpv_initialize the
    // observed properties and key bindings.
    void setOptions(const InitOptions &options);
    void setVideoOutput(const InitOptions &options);
    void observeAndBindKeys();
    void noteSeek(const QStringList &args);
    void logVersions();

    mpv_handle *m_mpv = nullptr;
    InitOptions m_options;
    QString m_url;
    SeekWaker *m_seekWaker = nullptr;
    QHash<QString, QVariant> m_props;
    QHash<quint64, std::function<void(int)>> m_pending;
    quint64 m_nextReplyId = 1;
};

} // namespace svd
