#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace svd {

// Holds at most one "don't blank the screen" inhibition on the session bus:
// org.freedesktop.ScreenSaver where it exists, else the desktop portal's
// Inhibit (idle flag). The owner only says whether it wants one; every call,
// the look-up of which service exists included, is asynchronous, so a hung bus
// or service never blocks the GUI thread, and a want that changes while a call
// is in flight is reconciled when its answer comes. What the look-up found is
// kept until one of the two services comes or goes. GUI thread only.
class IdleInhibitor : public QObject {
    Q_OBJECT
public:
    explicit IdleInhibitor(const QString &reason, const QDBusConnection &bus = QDBusConnection::sessionBus(),
                           QObject *parent = nullptr);
    ~IdleInhibitor() override; // releases a held inhibition before the process goes

    void setWanted(bool wanted);
    bool wanted() const { return m_wanted; }
    bool held() const { return m_kind != None && !m_call; }

private:
    enum Kind { None, ScreenSaver, Portal };

    void reconcile();
    void lookUp();
    void onNames(QDBusPendingCallWatcher *call);
    void forgetAvailable();
    void inhibit(Kind kind);
    void release(bool blocking);
    void onInhibitReply(QDBusPendingCallWatcher *call);
    void onServiceGone(const QString &service);

    QDBusConnection m_bus;
    const QString m_reason;
    QDBusServiceWatcher *m_watcher = nullptr;
    bool m_wanted = false;
    QDBusPendingCallWatcher *m_call = nullptr; // the Inhibit call in flight
    int m_lookups = 0;          // name-list calls in flight (two per look-up)
    bool m_lookupStale = false; // a service came or went while they were
    QStringList m_names;        // what the look-up's answers named so far
    QString m_lookupError;      // why one of them failed
    bool m_availableKnown = false;
    Kind m_available = None;    // what the last look-up found
    bool m_unavailableLogged = false;
    Kind m_kind = None;          // what the held (or pending) inhibition is
    uint m_cookie = 0;           // ScreenSaver's handle
    QString m_handle;            // the portal's request object path
};

} // namespace svd
