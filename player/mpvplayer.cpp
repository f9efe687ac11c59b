#include "player/mpvplayer.h"

#include "base/log.h"
#include "player/seekwaker.h"
#include "torrent/streamprotocol.h"

#include <QMetaObject>
#include <QMetaType>

#include <mpv/client.h>

#include <vector>

namespace svd {

namespace {

// libmpv calls this on one of its own threads: hand over to the GUI thread and
// do nothing else here.
void wakeup(void *ctx)
{
    QMetaObject::invokeMethod(static_cast<MpvPlayer *>(ctx), "pump", Qt::QueuedConnection);
}

// mpv wants a null-terminated array of C strings; the byte arrays must outlive
// the call, so both live in this small holder.
struct CArgs {
    explicit CArgs(const QStringList &args)
    {
        bytes.reserve(args.size());
        for (const QString &a : args)
            bytes.push_back(a.toUtf8());
        for (const QByteArray &b : bytes)
            ptrs.push_back(b.constData());
        ptrs.push_back(nullptr);
    }
    const char **data() { return ptrs.data(); }

    std::vector<QByteArray> bytes;
    std::vector<const char *> ptrs;
};

QString takeMpvString(char *s)
{
    if (!s)
        return {};
    const QString out = QString::fromUtf8(s);
    mpv_free(s);
    return out;
}

QString mib(int n)
{
    return QStringLiteral("%1MiB").arg(n);
}

} // namespace

MpvPlayer::MpvPlayer(QObject *parent) : QObject(parent) {}

MpvPlayer::~MpvPlayer()
{
    destroy();
    m_pending.clear();
    m_props.clear();
}

QString MpvPlayer::errorString(int code)
{
    return QString::fromUtf8(mpv_error_string(code));
}

QString MpvPlayer::clientApiVersion()
{
    const unsigned long api = mpv_client_api_version();
    return QStringLiteral("%1.%2").arg(api >> 16).arg(api & 0xffff);
}

QVariant MpvPlayer::nodeToVariant(const mpv_node *node)
{
    if (!node)
        return {};
    switch (node->format) {
    case MPV_FORMAT_STRING:
        return QString::fromUtf8(node->u.string);
    case MPV_FORMAT_FLAG:
        return bool(node->u.flag);
    case MPV_FORMAT_INT64:
        return qlonglong(node->u.int64);
    case MPV_FORMAT_DOUBLE:
        return node->u.double_;
    case MPV_FORMAT_NODE_ARRAY: {
        QVariantList list;
        const mpv_node_list *l = node->u.list;
        for (int i = 0; l && i < l->num; ++i)
            list.append(nodeToVariant(&l->values[i]));
        return list;
    }
    case MPV_FORMAT_NODE_MAP: {
        QVariantMap map;
        const mpv_node_list *l = node->u.list;
        for (int i = 0; l && i < l->num; ++i)
            map.insert(QString::fromUtf8(l->keys[i]), nodeToVariant(&l->values[i]));
        return map;
    }
    default:
        return {};
    }
}

void MpvPlayer::setOption(const char *name, const QString &value)
{
    const int rc = mpv_set_option_string(m_mpv, name, value.toUtf8().constData());
    if (rc < 0)
        logLine(
            QStringLiteral("mpv: option %1=%2 failed: %3").arg(QLatin1String(name), value, errorString(rc)));
}

bool MpvPlayer::init(const InitOptions &options, TorrentEngine *engine)
{
    if (m_mpv)
        return true;
    m_options = options;
    m_mpv = mpv_create();
    if (!m_mpv)
        return false;
    setOptions(options);
    setVideoOutput(options);

    if (engine && !installTorrentProtocol(m_mpv, engine)) {
        logLine(QStringLiteral("mpv: could not register the svtorrent:// protocol"));
        mpv_destroy(m_mpv);
        m_mpv = nullptr;
        return false;
    }

    if (engine && !m_seekWaker)
        m_seekWaker = new SeekWaker(this, engine);

    const int rc = mpv_initialize(m_mpv);
    if (rc < 0) {
        logLine(QStringLiteral("mpv: initialize failed: %1").arg(errorString(rc)));
        mpv_destroy(m_mpv);
        m_mpv = nullptr;
        return false;
    }

    // SVD_MPV_LOG=v (or debug, trace) lets a lab run see the demuxer's reads and seeks.
    const QByteArray logLevel = qEnvironmentVariable("SVD_MPV_LOG", QStringLiteral("warn")).toUtf8();
    mpv_request_log_messages(m_mpv, logLevel.constData());
    mpv_hook_add(m_mpv, 0, "on_preloaded", 0);
    observeAndBindKeys();

    mpv_set_wakeup_callback(m_mpv, wakeup, this);
    // Events queued before the callback existed (the observers' first values)
    // would otherwise wait for the next unrelated wakeup.
    QMetaObject::invokeMethod(this, "pump", Qt::QueuedConnection);
    logVersions();
    return true;
}

void MpvPlayer::setOptions(const InitOptions &options)
{
    const QString secs = QString::number(options.cacheSecs);
    setOption("config", QStringLiteral("no"));
    setOption("load-scripts", QStringLiteral("no"));
    setOption("ytdl", QStringLiteral("no"));
    setOption("osc", QStringLiteral("no"));
    setOption("terminal", QStringLiteral("no"));
    setOption("idle", QStringLiteral("yes"));
    setOption("keep-open", QStringLiteral("yes"));
    // Stay on the last frame at the end without pausing: pause is the viewer's
    // choice and outlives the file, so a pause set by the end would carry into
    // the next episode, which would then start paused.
    setOption("keep-open-pause", QStringLiteral("no"));
    setOption("input-default-bindings", QStringLiteral("yes"));
    setOption("input-vo-keyboard", QStringLiteral("yes"));
    setOption("cache", QStringLiteral("yes"));
    setOption("demuxer-max-bytes", mib(options.demuxerMaxMiB));
    setOption("demuxer-max-back-bytes", mib(options.demuxerBackMiB));
    setOption("cache-secs", secs);
    setOption("demuxer-readahead-secs", secs);
    setOption("cache-pause", QStringLiteral("yes"));
    setOption("cache-pause-initial", QStringLiteral("no"));
    setOption("cache-pause-wait", QStringLiteral("1"));
    setOption("audio-file-auto", QStringLiteral("no"));
    setOption("sub-auto", QStringLiteral("no"));
    setOption("hwdec", QStringLiteral("auto-safe"));
    setOption("volume", QString::number(options.volume, 'g', 6));
    setOption("volume-max", QStringLiteral("130"));
    setOption("mute", options.mute ? QStringLiteral("yes") : QStringLiteral("no"));
    setOption("alang", QStringLiteral("ru,rus"));
    // Without a usable sound device mpv would drop the audio track (aid=no),
    // and with it every dub: keep the tracks and play them silently instead.
    setOption("audio-fallback-to-null", QStringLiteral("yes"));
    if (!options.logFile.isEmpty())
        setOption("log-file", options.logFile);
}

void MpvPlayer::setVideoOutput(const InitOptions &options)
{
    if (options.headless) {
        setOption("vo", QStringLiteral("null"));
        setOption("ao", QStringLiteral("null"));
        setOption("force-window", QStringLiteral("no"));
    } else if (options.renderApi) {
        setOption("vo", QStringLiteral("libmpv"));
    } else if (options.wid != 0) {
        int64_t wid = options.wid;
        const int rc = mpv_set_option(m_mpv, "wid", MPV_FORMAT_INT64, &wid);
        if (rc < 0)
            logLine(QStringLiteral("mpv: option wid=%1 failed: %2").arg(wid).arg(errorString(rc)));
        setOption("force-window", QStringLiteral("yes"));
        setOption("keepaspect-window", QStringLiteral("no"));
    }
}

void MpvPlayer::observeAndBindKeys()
{
    static const char *const observed[] = {
        "time-pos",
        "duration",
        "pause",
        "paused-for-cache",
        "core-idle",
        "seeking",
        "track-list",
        "aid",
        "sid",
        "volume",
        "mute",
        "fullscreen",
        "cache-buffering-state",
        "demuxer-cache-duration",
        "eof-reached",
        "idle-active",
        "media-title",
    };
    for (const char *name : observed)
        observe(QLatin1String(name));

    static const char *const bindings[][2] = {
        {"q", "ignore"},
        {"Q", "ignore"},
        {"ESC", "set fullscreen no"},
        {"F11", "cycle fullscreen"},
        {"ENTER", "cycle fullscreen"},
        {"MBTN_LEFT", "ignore"},
        {"MBTN_LEFT_DBL", "ignore"},
        {">", "script-message svd next"},
        {"<", "script-message svd prev"},
        {"N", "script-message svd next"},
        {"P", "script-message svd prev"},
    };
    for (const auto &b : bindings)
        command({QStringLiteral("keybind"), QLatin1String(b[0]), QLatin1String(b[1])});
}

void MpvPlayer::logVersions()
{
    const unsigned long api = mpv_client_api_version();
    const QString version = takeMpvString(mpv_get_property_string(m_mpv, "mpv-version"));
    logLine(QStringLiteral("mpv: %1 (client API %2.%3)%4")
                .arg(version)
                .arg(api >> 16)
                .arg(api & 0xffff)
                .arg(m_options.headless ? QStringLiteral(" headless") : QString()));
    const QString ffmpeg = takeMpvString(mpv_get_property_string(m_mpv, "ffmpeg-version"));
    QString build = takeMpvString(mpv_get_property_string(m_mpv, "mpv-configuration"));
    if (build.size() > 400)
        build.truncate(400);
    logLine(QStringLiteral("mpv: ffmpeg %1; build: %2").arg(ffmpeg, build));
}

void MpvPlayer::destroy()
{
    if (!m_mpv)
        return;
    emit aboutToDestroy();
    mpv_set_wakeup_callback(m_mpv, nullptr, nullptr);
    mpv_terminate_destroy(m_mpv);
    m_mpv = nullptr;
}

void MpvPlayer::setProp(const QString &name, const QVariant &value)
{
    if (!m_mpv)
        return;
    if (name == QLatin1String("time-pos") || name == QLatin1String("percent-pos"))
        noteSeek({QStringLiteral("seek")});
    const QByteArray key = name.toUtf8();
    int rc;
    switch (value.typeId()) {
    case QMetaType::Bool: {
        int flag = value.toBool() ? 1 : 0;
        rc = mpv_set_property(m_mpv, key.constData(), MPV_FORMAT_FLAG, &flag);
        break;
    }
    case QMetaType::Int:
    case QMetaType::LongLong: {
        int64_t v = value.toLongLong();
        rc = mpv_set_property(m_mpv, key.constData(), MPV_FORMAT_INT64, &v);
        break;
    }
    case QMetaType::Double: {
        double v = value.toDouble();
        rc = mpv_set_property(m_mpv, key.constData(), MPV_FORMAT_DOUBLE, &v);
        break;
    }
    default:
        rc = mpv_set_property_string(m_mpv, key.constData(), value.toString().toUtf8().constData());
        break;
    }
    if (rc < 0)
        logLine(QStringLiteral("mpv: set %1=%2 failed: %3").arg(name, value.toString(), errorString(rc)));
}

QVariant MpvPlayer::getProp(const QString &name) const
{
    if (!m_mpv)
        return {};
    mpv_node node;
    if (mpv_get_property(m_mpv, name.toUtf8().constData(), MPV_FORMAT_NODE, &node) < 0)
        return {};
    QVariant v = nodeToVariant(&node);
    mpv_free_node_contents(&node);
    return v;
}

void MpvPlayer::observe(const QString &name)
{
    if (m_mpv)
        mpv_observe_property(m_mpv, 0, name.toUtf8().constData(), MPV_FORMAT_NODE);
}

void MpvPlayer::noteSeek(const QStringList &args)
{
    if (m_seekWaker && args.value(0) == QLatin1String("seek"))
        m_seekWaker->noteSeekCommand();
}

void MpvPlayer::command(const QStringList &args)
{
    if (!m_mpv)
        return;
    noteSeek(args);
    CArgs c(args);
    const int rc = mpv_command(m_mpv, c.data());
    if (rc < 0)
        logLine(
            QStringLiteral("mpv: command %1 failed: %2").arg(args.join(QLatin1Char(' ')), errorString(rc)));
}

void MpvPlayer::commandAsync(const QStringList &args, std::function<void(int)> done)
{
    if (!m_mpv)
        return;
    noteSeek(args);
    const quint64 id = m_nextReplyId++;
    if (done)
        m_pending.insert(id, done);
    CArgs c(args);
    const int rc = mpv_command_async(m_mpv, id, c.data());
    if (rc < 0) {
        logLine(QStringLiteral("mpv: async command %1 failed: %2")
                    .arg(args.join(QLatin1Char(' ')), errorString(rc)));
        auto fn = m_pending.take(id);
        if (fn)
            fn(rc);
    }
}

void MpvPlayer::loadFile(const QString &url, const QStringList &audioFiles)
{
    if (!m_mpv)
        return;
    m_url = url;
    const QString change = QStringLiteral("change-list");
    const QString list = QStringLiteral("audio-files");
    command({change, list, QStringLiteral("clr"), QString()});
    for (const QString &f : audioFiles)
        command({change, list, QStringLiteral("append"), f});
    commandAsync({QStringLiteral("loadfile"), url, QStringLiteral("replace")}, nullptr);
}

void MpvPlayer::stop()
{
    command({QStringLiteral("stop")});
}

void MpvPlayer::reinitVideo()
{
    const QVariant vid = getProp(QStringLiteral("vid"));
    if (vid.typeId() != QMetaType::LongLong || vid.toLongLong() <= 0)
        return;
    logLine(
        QStringLiteral("mpv: re-selecting video track %1 for a new render context").arg(vid.toLongLong()));
    setProp(QStringLiteral("vid"), QStringLiteral("no"));
    setProp(QStringLiteral("vid"), vid.toLongLong());
}

void MpvPlayer::setReadAhead(bool tight)
{
    const int maxMiB = tight ? qMin(m_options.demuxerMaxMiB, 64) : m_options.demuxerMaxMiB;
    const int backMiB = tight ? qMin(m_options.demuxerBackMiB, 16) : m_options.demuxerBackMiB;
    const double secs = tight ? qMin(m_options.cacheSecs, 60) : m_options.cacheSecs;
    setProp(QStringLiteral("demuxer-max-bytes"), mib(maxMiB));
    setProp(QStringLiteral("demuxer-max-back-bytes"), mib(backMiB));
    setProp(QStringLiteral("cache-secs"), secs);
    setProp(QStringLiteral("demuxer-readahead-secs"), secs);
}

QVariantList MpvPlayer::tracksOfType(const QString &type) const
{
    QVariantList out;
    for (const QVariant &t : trackList()) {
        if (t.toMap().value(QStringLiteral("type")).toString() == type)
            out.append(t);
    }
    return out;
}

void MpvPlayer::pump()
{
    while (m_mpv) {
        mpv_event *ev = mpv_wait_event(m_mpv, 0);
        if (!ev || ev->event_id == MPV_EVENT_NONE)
            break;
        switch (ev->event_id) {
        case MPV_EVENT_SHUTDOWN:
            emit shutdownRequested();
            break;
        case MPV_EVENT_LOG_MESSAGE: {
            const auto *msg = static_cast<mpv_event_log_message *>(ev->data);
            logLine(QStringLiteral("mpv[%1] %2: %3")
                        .arg(QString::fromUtf8(msg->level), QString::fromUtf8(msg->prefix),
                             QString::fromUtf8(msg->text).trimmed()));
            break;
        }
        case MPV_EVENT_COMMAND_REPLY: {
            auto fn = m_pending.take(ev->reply_userdata);
            if (fn)
                fn(ev->error);
            break;
        }
        case MPV_EVENT_START_FILE: {
            const auto *sf = static_cast<mpv_event_start_file *>(ev->data);
            emit startFile(sf ? sf->playlist_entry_id : 0);
            break;
        }
        case MPV_EVENT_END_FILE: {
            const auto *ef = static_cast<mpv_event_end_file *>(ev->data);
            emit endFile(ef->reason, ef->error, ef->playlist_entry_id);
            break;
        }
        case MPV_EVENT_FILE_LOADED:
            emit fileLoaded();
            break;
        case MPV_EVENT_HOOK: {
            // mpv waits for the continue; receivers run synchronously before it.
            const auto *hook = static_cast<mpv_event_hook *>(ev->data);
            const quint64 id = hook->id;
            if (qstrcmp(hook->name, "on_preloaded") == 0)
                emit preloaded();
            if (m_mpv)
                mpv_hook_continue(m_mpv, id);
            break;
        }
        case MPV_EVENT_CLIENT_MESSAGE: {
            const auto *cm = static_cast<mpv_event_client_message *>(ev->data);
            QStringList args;
            for (int i = 0; i < cm->num_args; ++i)
                args.append(QString::fromUtf8(cm->args[i]));
            emit clientMessage(args);
            break;
        }
        case MPV_EVENT_PLAYBACK_RESTART:
            emit playbackRestart();
            break;
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto *p = static_cast<mpv_event_property *>(ev->data);
            const QString name = QString::fromUtf8(p->name);
            QVariant value;
            if (p->format == MPV_FORMAT_NODE && p->data)
                value = nodeToVariant(static_cast<const mpv_node *>(p->data));
            m_props.insert(name, value);
            if (name == QLatin1String("idle-active"))
                emit idleChanged(value.toBool());
            emit propertyChanged(name, value);
            break;
        }
        default:
            break;
        }
    }
}

} // namespace svd
