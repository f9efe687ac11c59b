#include "shell/litemode.h"

#include "base/log.h"
#include "shell/desktopbridge.h"

#include <QLocale>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

namespace svd {

namespace {

const QString kLiteKey = QStringLiteral("ui/lite");
const QString kDetectedKey = QStringLiteral("ui/liteDetected");

QString onOff(bool on)
{
    return on ? QStringLiteral("ON") : QStringLiteral("off");
}

QString oneDecimal(const QVariant &v)
{
    return QString::number(v.toDouble(), 'f', 1);
}

} // namespace

QStringList allPageTweaks()
{
    return {QStringLiteral("infinite"), QStringLiteral("heropan"), QStringLiteral("anim"),
            QStringLiteral("backdrop"), QStringLiteral("filter"),  QStringLiteral("video"),
            QStringLiteral("hero")};
}

QVariantMap tweaksFromList(const QString &list)
{
    QVariantMap out;
    for (const QString &part : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString word = part.trimmed().toLower();
        if (word.isEmpty() || word == QLatin1String("none"))
            continue;
        if (word == QLatin1String("all")) {
            for (const QString &t : allPageTweaks())
                out.insert(t, true);
        } else {
            out.insert(word, true);
        }
    }
    return out;
}

QString tweakNames(const QVariantMap &tweaks)
{
    // QVariantMap keys are already sorted.
    return tweaks.keys().join(QLatin1Char(','));
}

bool isSoftwareRenderer(const QString &renderer)
{
    static const QRegularExpression re(
        QStringLiteral("SwiftShader|llvmpipe|softpipe|Basic Render|Software Adapter|\\bWARP\\b|Software Rasterizer"),
        QRegularExpression::CaseInsensitiveOption);
    return re.match(renderer).hasMatch();
}

void LiteMode::init(QSettings &settings, const QString &liteOption, const QString &pageTweaksOption)
{
    QString mode = settings.value(kLiteKey, QStringLiteral("auto")).toString();
    if (!liteOption.isEmpty()) {
        mode = liteOption;
        settings.setValue(kLiteKey, mode);
    }
    m_mode = mode;
    m_forced = pageTweaksOption;
    if (mode == QLatin1String("on")) {
        m_lite = true;
        m_reason = QStringLiteral("--lite on (remembered)");
    } else if (mode == QLatin1String("off")) {
        m_lite = false;
        m_reason = QStringLiteral("--lite off (remembered)");
    } else {
        m_lite = settings.value(kDetectedKey, false).toBool();
        m_reason = m_lite ? QStringLiteral("auto: the last GPU probe found software rendering")
                          : QStringLiteral("auto: waiting for the GPU probe");
    }
    logLine(QStringLiteral("lite: %1 at start (%2)%3")
                .arg(onOff(m_lite), m_reason,
                     m_forced.isEmpty() ? QString() : QStringLiteral(", forced tweaks: ") + m_forced));
}

QVariantMap LiteMode::currentTweaks(bool videoPlaying) const
{
    if (!m_forced.isEmpty())
        return tweaksFromList(m_forced);
    QVariantMap out;
    if (m_lite) {
        for (const QString &t : allPageTweaks())
            out.insert(t, true);
    }
    if (m_mode != QLatin1String("off")) {
        out.insert(QStringLiteral("infinite"), true);
        out.insert(QStringLiteral("heropan"), true);
    }
    if (videoPlaying) {
        for (const char *t : {"infinite", "anim", "backdrop", "video"})
            out.insert(QLatin1String(t), true);
    }
    return out;
}

QVariantMap LiteMode::pageConfig(bool videoPlaying) const
{
    return {{QStringLiteral("tweaks"), currentTweaks(videoPlaying)},
            {QStringLiteral("probe"), !m_probeDone},
            {QStringLiteral("capabilities"), DesktopBridge::capabilities()}};
}

LiteMode::InfoOutcome LiteMode::onClientInfo(const QVariantMap &info, QSettings &settings)
{
    InfoOutcome outcome;
    const QString phase = info.value(QStringLiteral("phase")).toString();
    if (phase == QLatin1String("settled")) {
        if (m_settledLogged)
            return outcome;
        m_settledLogged = true;
        logLine(QStringLiteral("gpu: page settled: rAF %1 fps (p95 %2 ms, %3 frames > 50 ms) over 2 s, %4")
                    .arg(oneDecimal(info.value(QStringLiteral("fps"))),
                         oneDecimal(info.value(QStringLiteral("p95ms"))))
                    .arg(info.value(QStringLiteral("longFrames")).toLongLong())
                    .arg(info.value(QStringLiteral("visibility")).toString()));
        return outcome;
    }
    if (m_probeDone)
        return outcome;
    m_probeDone = true;
    outcome.probeFinished = true;

    const bool webgl = info.value(QStringLiteral("webgl")).toBool();
    const QString renderer = info.value(QStringLiteral("renderer")).toString();
    const QString vendor = info.value(QStringLiteral("vendor")).toString();
    logLine(QStringLiteral("gpu: page WebGL %1 renderer \"%2\" vendor \"%3\"; rAF %4 fps (p95 %5 ms, %6 frames > 50 "
                           "ms) over 2 s right after load; dpr %7, %8 cores, prefers-reduced-motion %9")
                .arg(webgl ? QStringLiteral("yes") : QStringLiteral("NO"), renderer, vendor,
                     oneDecimal(info.value(QStringLiteral("fps"))), oneDecimal(info.value(QStringLiteral("p95ms"))),
                     QString::number(info.value(QStringLiteral("longFrames")).toLongLong()),
                     QString::number(info.value(QStringLiteral("dpr"), 1.0).toDouble(), 'g',
                                     QLocale::FloatingPointShortest),
                     QString::number(info.value(QStringLiteral("cores")).toLongLong()),
                     info.value(QStringLiteral("reducedMotion")).toBool() ? QStringLiteral("yes")
                                                                         : QStringLiteral("no")));

    bool software = false;
    QString why;
    if (!webgl) {
        software = true;
        why = QStringLiteral("no WebGL (GPU blocklisted or disabled: Chromium renders in software)");
    } else if (isSoftwareRenderer(renderer)) {
        software = true;
        why = QStringLiteral("software renderer \"%1\"").arg(renderer);
    }
    if (software)
        logLine(QStringLiteral("gpu: SOFTWARE RENDERING: ") + why + QStringLiteral("; every page frame is drawn by the CPU"));

    if (m_mode == QLatin1String("auto")) {
        settings.setValue(kDetectedKey, software);
        if (software != m_lite) {
            m_lite = software;
            m_reason = software ? QStringLiteral("auto: ") + why : QStringLiteral("auto: hardware GPU rendering");
            logLine(QStringLiteral("lite: %1 (%2)").arg(onOff(m_lite), m_reason));
            outcome.liteChanged = true;
        }
    }
    return outcome;
}

} // namespace svd
