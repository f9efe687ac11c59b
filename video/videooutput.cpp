#include "video/videooutput.h"

#include <QSettings>
#include <optional>

namespace svd {

namespace {

VideoOutputConfig &globalConfig()
{
    static VideoOutputConfig config;
    return config;
}

std::optional<VideoMode> parseMode(const QString &raw)
{
    const QString v = raw.trimmed().toLower();
    if (v == QLatin1String("wid"))
        return VideoMode::Wid;
    if (v == QLatin1String("window"))
        return VideoMode::Window;
    if (v == QLatin1String("glwidget"))
        return VideoMode::GlWidget;
    return std::nullopt;
}

std::optional<int> parseFlip(const QString &raw)
{
    const QString v = raw.trimmed().toLower();
    if (v == QLatin1String("auto"))
        return -1;
    if (v == QLatin1String("on") || v == QLatin1String("1") || v == QLatin1String("yes"))
        return 1;
    if (v == QLatin1String("off") || v == QLatin1String("0") || v == QLatin1String("no"))
        return 0;
    return std::nullopt;
}

const QString kModeKey = QStringLiteral("video/mode");
const QString kFlipKey = QStringLiteral("video/flip");

} // namespace

QByteArray videoModeName(VideoMode mode)
{
    switch (mode) {
    case VideoMode::Wid:
        return QByteArrayLiteral("wid");
    case VideoMode::Window:
        return QByteArrayLiteral("window");
    case VideoMode::GlWidget:
        return QByteArrayLiteral("glwidget");
    }
    return {};
}

VideoMode platformDefaultVideoMode()
{
    return VideoMode::Window;
}

QString VideoOutputConfig::describe() const
{
    QString text = QStringLiteral("video output %1 (%2)").arg(QString::fromLatin1(videoModeName(mode)), modeSource);
    if (mode != VideoMode::Wid) {
        text += QStringLiteral(", flip-y %1 (%2)")
                    .arg(effectiveFlip())
                    .arg(flipY < 0 ? QStringLiteral("auto") : flipSource);
    }
    return text;
}

QString rawOptionValue(const QStringList &args, const QString &name)
{
    const QString prefix = name + QLatin1Char('=');
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == name && i + 1 < args.size())
            return args.at(i + 1);
        if (a.startsWith(prefix))
            return a.mid(prefix.size());
    }
    return QString();
}

bool resolveVideoOutputFrom(const VideoOutputInputs &in, QSettings &settings, VideoOutputConfig *out,
                            QString *error)
{
    VideoOutputConfig cfg;

    QString cli = rawOptionValue(in.args, QStringLiteral("--video-mode"));
    if (cli.isNull())
        cli = rawOptionValue(in.args, QStringLiteral("--mac-video-mode"));
    if (cli.isNull()) {
        if (auto m = in.envMode.isNull() ? std::nullopt : parseMode(in.envMode)) {
            cfg.mode = *m;
            cfg.modeSource = QStringLiteral("SVD_VIDEO_MODE");
        } else if (auto s = settings.contains(kModeKey) ? parseMode(settings.value(kModeKey).toString())
                                                        : std::nullopt) {
            cfg.mode = *s;
            cfg.modeSource = QStringLiteral("remembered (--video-mode auto resets)");
        }
    } else if (cli.trimmed().toLower() == QLatin1String("auto")) {
        settings.remove(kModeKey);
    } else {
        const auto m = parseMode(cli);
        if (!m) {
            if (error)
                *error = QStringLiteral("--video-mode must be wid, window, glwidget or auto");
            return false;
        }
        settings.setValue(kModeKey, QString::fromLatin1(videoModeName(*m)));
        cfg.mode = *m;
        cfg.modeSource = QStringLiteral("--video-mode, remembered");
    }
    if (cfg.mode == VideoMode::Wid) {
        cfg.mode = VideoMode::Window;
        cfg.modeSource += QStringLiteral("; wid is Windows-only -> window");
    }

    const QString flip = rawOptionValue(in.args, QStringLiteral("--video-flip"));
    if (flip.isNull()) {
        if (auto f = in.envFlip.isNull() ? std::nullopt : parseFlip(in.envFlip)) {
            cfg.flipY = *f;
            cfg.flipSource = QStringLiteral("SVD_VIDEO_FLIP");
        } else if (auto s = settings.contains(kFlipKey) ? parseFlip(settings.value(kFlipKey).toString())
                                                        : std::nullopt) {
            cfg.flipY = *s;
            cfg.flipSource = QStringLiteral("remembered (--video-flip auto resets)");
        }
    } else {
        const auto f = parseFlip(flip);
        if (!f) {
            if (error)
                *error = QStringLiteral("--video-flip must be on, off or auto");
            return false;
        }
        if (*f < 0)
            settings.remove(kFlipKey);
        else
            settings.setValue(kFlipKey, *f ? QStringLiteral("on") : QStringLiteral("off"));
        cfg.flipY = *f;
        cfg.flipSource = QStringLiteral("--video-flip, remembered");
    }

    if (out)
        *out = cfg;
    return true;
}

bool resolveVideoOutput(int argc, char **argv, QString *error)
{
    VideoOutputInputs in;
    for (int i = 1; i < argc; ++i)
        in.args << QString::fromLocal8Bit(argv[i]);
    if (qEnvironmentVariableIsSet("SVD_VIDEO_MODE"))
        in.envMode = qEnvironmentVariable("SVD_VIDEO_MODE");
    if (qEnvironmentVariableIsSet("SVD_VIDEO_FLIP"))
        in.envFlip = qEnvironmentVariable("SVD_VIDEO_FLIP");
    QSettings settings;
    VideoOutputConfig cfg;
    if (!resolveVideoOutputFrom(in, settings, &cfg, error))
        return false;
    globalConfig() = cfg;
    return true;
}

const VideoOutputConfig &videoOutput()
{
    return globalConfig();
}

void overrideVideoMode(VideoMode mode, const QString &source)
{
    globalConfig().mode = mode;
    globalConfig().modeSource = source;
}

} // namespace svd
