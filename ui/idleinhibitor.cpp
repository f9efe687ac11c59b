#include "ui/idleinhibitor.h"

#include "base/log.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

#include <utility>

namespace svd {

namespace {

const QString kSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
constexpr uint kPortalIdleFlag = 8;
// Only the release at exit waits for its answer, and never long.
constexpr int kExitReleaseTimeoutMs = 1000;

} // namespace

IdleInhibitor::IdleInhibitor(const QString &reason, const QDBusConnection &bus, QObject *parent)
    : QObject(parent), m_bus(bus), m_reason(reason)
{
    if (!m_bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(m_bus);
    m_watcher->setWatchedServices({kSaverService, kPortalService});
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &IdleInhibitor::onServiceGone);
    // A service that (re)appears while we want an inhibition gets asked.
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        forgetAvailable();
        reconcile();
    });
}

IdleInhibitor::~IdleInhibitor()
{
    m_wanted = false;
    if (held())
        release(true);
}

void IdleInhibitor::setWanted(bool wanted)
{
    if (m_wanted == wanted)
        return;
    m_wanted = wanted;
    reconcile();
}

void IdleInhibitor::reconcile()
{
    // An answer still in flight decides the next step when it comes.
    if (m_call || m_lookups > 0)
        return;
    if (m_wanted && m_kind == None) {
        if (!m_bus.isConnected()) {
            if (!m_unavailableLogged)
                logLine(QStringLiteral("desktop: no session bus -> the screen may blank during playback"));
            m_unavailableLogged = true;
        } else if (!m_availableKnown) {
            lookUp();
        } else if (m_available != None) {
            inhibit(m_available);
        }
    } else if (!m_wanted && m_kind != None) {
        release(false);
    }
}

void IdleInhibitor::lookUp()
{
    // Running and activatable names in one go: a service that the bus would
    // start on the first call counts as there.
    m_names.clear();
    m_lookupStale = false;
    for (const QString &method : {QStringLiteral("ListNames"), QStringLiteral("ListActivatableNames")}) {
        const QDBusMessage msg = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService, method);
        auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(msg), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, &IdleInhibitor::onNames);
        ++m_lookups;
    }
}

void IdleInhibitor::onNames(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QStringList> reply = *call;
    if (reply.isValid())
        m_names += reply.value();
    else
        m_lookupError = reply.error().message();
    if (--m_lookups > 0)
        return;
    const QStringList names = std::exchange(m_names, {});
    if (!m_lookupError.isEmpty()) {
        // Asked again on the next change of want, not in a loop now.
        logLine(QStringLiteral("desktop: session bus did not list its services: %1")
                    .arg(std::exchange(m_lookupError, {})));
        return;
    }
    if (m_lookupStale) {
        reconcile(); // a service came or went meanwhile: look again
        return;
    }
    m_available = names.contains(kSaverService) ? ScreenSaver : names.contains(kPortalService) ? Portal : None;
    m_availableKnown = true;
    if (m_available == None && !m_unavailableLogged) {
        logLine(QStringLiteral("desktop: no idle inhibit service on the session bus -> the screen may blank during "
                               "playback"));
        m_unavailableLogged = true;
    }
    reconcile();
}

void IdleInhibitor::forgetAvailable()
{
    m_availableKnown = false;
    if (m_lookups > 0)
        m_lookupStale = true;
}

void IdleInhibitor::inhibit(Kind kind)
{
    QDBusMessage msg;
    if (kind == ScreenSaver) {
        msg = QDBusMessage::createMethodCall(kSaverService, kSaverPath, kSaverService, QStringLiteral("Inhibit"));
        msg << QStringLiteral("Sorvanta") << m_reason;
    } else {
        msg = QDBusMessage::createMethodCall(kPortalService, kPortalPath, QStringLiteral("org.freedesktop.portal.Inhibit"),
                                             QStringLiteral("Inhibit"));
        msg << QString() << kPortalIdleFlag << QVariantMap{{QStringLiteral("reason"), m_reason}};
    }
    m_kind = kind;
    m_call = new QDBusPendingCallWatcher(m_bus.asyncCall(msg), this);
    connect(m_call, &QDBusPendingCallWatcher::finished, this, &IdleInhibitor::onInhibitReply);
}

void IdleInhibitor::onInhibitReply(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    if (call != m_call)
        return; // the service left while this call was in flight
    m_call = nullptr;
    const QDBusMessage reply = call->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        logLine(QStringLiteral("desktop: idle inhibit refused: %1").arg(call->error().message()));
        m_kind = None;
        return;
    }
    if (m_kind == ScreenSaver)
        m_cookie = reply.arguments().constFirst().toUInt();
    else
        m_handle = reply.arguments().constFirst().value<QDBusObjectPath>().path();
    logLine(QStringLiteral("desktop: screen kept on (%1)").arg(m_kind == ScreenSaver ? kSaverService : kPortalService));
    reconcile();
}

void IdleInhibitor::release(bool blocking)
{
    QDBusMessage msg;
    if (m_kind == ScreenSaver) {
        msg = QDBusMessage::createMethodCall(kSaverService, kSaverPath, kSaverService, QStringLiteral("UnInhibit"));
        msg << m_cookie;
    } else {
        msg = QDBusMessage::createMethodCall(kPortalService, m_handle, QStringLiteral("org.freedesktop.portal.Request"),
                                             QStringLiteral("Close"));
    }
    m_kind = None;
    m_cookie = 0;
    m_handle.clear();
    if (blocking)
        m_bus.call(msg, QDBus::Block, kExitReleaseTimeoutMs);
    else
        m_bus.asyncCall(msg);
    logLine(QStringLiteral("desktop: screen may blank again"));
}

void IdleInhibitor::onServiceGone(const QString &service)
{
    const bool ours = (m_kind == ScreenSaver && service == kSaverService) || (m_kind == Portal && service == kPortalService);
    forgetAvailable();
    if (!ours)
        return;
    // Its inhibitions went with it; a new one is asked for when a service comes back.
    logLine(QStringLiteral("desktop: %1 left the session bus -> the screen may blank during playback").arg(service));
    m_kind = None;
    m_call = nullptr;
    m_cookie = 0;
    m_handle.clear();
}

} // namespace svd
