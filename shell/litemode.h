#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

class QSettings;

namespace svd {

// Tweak names in their canonical order.
QStringList allPageTweaks();

// A --page-tweaks list: comma separated, trimmed, lower-cased; "all" adds every
// tweak, "none" nothing, other words themselves.
QVariantMap tweaksFromList(const QString &list);

// "a,b,c": the names of a tweak set in alphabetical order.
QString tweakNames(const QVariantMap &tweaks);

// True for WebGL renderer strings of software rasterisers.
bool isSoftwareRenderer(const QString &renderer);

// Lite mode state of one run: the remembered mode, the probe's verdict and the
// tweak set that follows from them. The window owns one and applies its answers
// to the page.
class LiteMode {
public:
    // Reads "ui/lite" (a non-empty `liteOption` replaces and stores it) and
    // "ui/liteDetected"; logs the start state. `pageTweaksOption` non-empty
    // forces the tweak list.
    void init(QSettings &settings, const QString &liteOption, const QString &pageTweaksOption);

    QVariantMap currentTweaks(bool videoPlaying) const;
    // The injected script's configuration object.
    QVariantMap pageConfig(bool videoPlaying) const;

    struct InfoOutcome {
        bool probeFinished = false; // re-install the script so later documents skip the probe
        bool liteChanged = false;   // the page configuration must be re-applied
    };
    // One probe report from the page; logs and, in auto mode, stores the verdict.
    InfoOutcome onClientInfo(const QVariantMap &info, QSettings &settings);

    bool lite() const { return m_lite; }
    QString mode() const { return m_mode; }
    QString reason() const { return m_reason; }
    bool probeDone() const { return m_probeDone; }

private:
    QString m_mode;
    QString m_forced;
    bool m_lite = false;
    QString m_reason;
    bool m_probeDone = false;
    bool m_settledLogged = false;
};

} // namespace svd
