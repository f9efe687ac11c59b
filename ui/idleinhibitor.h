#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace svd {

// Holds at most one "don't blank the screen" inhibition on the session bus:
// org.freedesktop.ScreenSaver where it exists, else the desktop portal's
// Inhibit (idle flag). The owner only says whether it wants one; calls are
// asynchronous, so a hung bus service never blocks the GUI thread, and a want
// that changes while a call is in flight is reconciled when its answer comes.
// GUI thread only.
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
    void inhibit();
    void release(bool blocking);
    void onInhibitReply(QDBusPendingCallWatcher *call);
    void onServiceGone(const QString &service);
    Kind availableKind();

    QDBusConnection m_bus;
    const QString m_reason;
    QDBusServiceWatcher *m_watcher = nullptr;
    bool m_wanted = false;
    QDBusPendingCallWatcher *m_call = nullptr; // the Inhibit call in flight
    bool m_unavailableLogged = false;
    Kind m_kind = None;          // what the held (or pending) inhibition is
    uint m_cookie = 0;           // ScreenSaver's handle
    QString m_handle;            // the portal's request object path
};

} // namespace svd
