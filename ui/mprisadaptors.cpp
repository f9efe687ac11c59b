#include "ui/mprisadaptors.h"

#include "ui/mprisservice.h"

#include <QGuiApplication>

namespace svd {

MprisRootAdaptor::MprisRootAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), m_service(service) {}

QString MprisRootAdaptor::identity() const
{
    return QStringLiteral("Sorvanta");
}

QString MprisRootAdaptor::desktopEntry() const
{
    return QGuiApplication::desktopFileName();
}

void MprisRootAdaptor::Raise()
{
    emit m_service->raiseRequested();
}

void MprisRootAdaptor::Quit()
{
    emit m_service->quitRequested();
}

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), m_service(service)
{
    connect(service, &MprisService::seeked, this, &MprisPlayerAdaptor::Seeked);
}

QString MprisPlayerAdaptor::playbackStatus() const { return m_service->playbackStatus(); }
QVariantMap MprisPlayerAdaptor::metadata() const { return m_service->metadata(); }
double MprisPlayerAdaptor::volume() const { return m_service->volume(); }
void MprisPlayerAdaptor::setVolume(double volume) { m_service->setVolume(volume); }
void MprisPlayerAdaptor::setRate(double rate) { m_service->setRate(rate); }
qlonglong MprisPlayerAdaptor::position() const { return m_service->positionUs(); }
bool MprisPlayerAdaptor::loaded() const { return m_service->loaded(); }
bool MprisPlayerAdaptor::canGoPrevious() const { return m_service->canGoPrevious(); }
bool MprisPlayerAdaptor::canSeek() const { return m_service->canSeek(); }

void MprisPlayerAdaptor::Next() { m_service->next(); }
void MprisPlayerAdaptor::Previous() { m_service->previous(); }
void MprisPlayerAdaptor::Pause() { m_service->pause(); }
void MprisPlayerAdaptor::PlayPause() { m_service->playPause(); }
void MprisPlayerAdaptor::Stop() { m_service->stop(); }
void MprisPlayerAdaptor::Play() { m_service->play(); }
void MprisPlayerAdaptor::Seek(qlonglong offset) { m_service->seek(offset); }

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath &trackId, qlonglong position)
{
    m_service->setPosition(trackId.path(), position);
}

void MprisPlayerAdaptor::OpenUri(const QString &)
{
    // Episodes come from the site; there is no address a desktop could hand us.
}

} // namespace svd
