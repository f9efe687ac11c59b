#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QSettings;

namespace svd {

enum class VideoMode { Wid = 0, Window = 1, GlWidget = 2 };

QByteArray videoModeName(VideoMode mode);
VideoMode platformDefaultVideoMode();

struct VideoOutputConfig {
    VideoMode mode = platformDefaultVideoMode();
    QString modeSource = QStringLiteral("default");
    int flipY = -1; // -1 auto, 0 off, 1 on
    QString flipSource;

    int effectiveFlip() const { return flipY < 0 ? 1 : flipY; }
    QString describe() const;
};

// Reads the video options from the raw arguments (before QApplication exists),
// the environment and the settings store; remembers explicit choices.
bool resolveVideoOutput(int argc, char **argv, QString *error);
const VideoOutputConfig &videoOutput();
void overrideVideoMode(VideoMode mode, const QString &source);

// The same resolution on explicit inputs, for callers that own their settings.
// `args` excludes the program name; `env` looks up an environment variable
// (null QString when unset).
struct VideoOutputInputs {
    QStringList args;
    QString envMode;
    QString envFlip;
};
bool resolveVideoOutputFrom(const VideoOutputInputs &in, QSettings &settings, VideoOutputConfig *out,
                            QString *error);

// Value of `name` in raw arguments: "name value" or "name=value"; a trailing
// name without value counts as absent (null string).
QString rawOptionValue(const QStringList &args, const QString &name);

} // namespace svd
