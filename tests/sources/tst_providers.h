#pragma once

#include <QObject>
#include <QTemporaryDir>

namespace svd {
class TestBackend;
}

class TestProviders : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void apiEpisodeRequestAndAnswer();
    void apiEpisodeErrors();
    void apiTimeoutAndRedirect();
    void apiTorrentUrlChoice();
    void apiTorrentBodyChecks();

    void fixtureFileForms();
    void fixtureLoadErrors();
    void fixtureLaterFileWinsAndFolders();
    void fixtureTorrentLookup();

    void chainFallThrough();
    void chainRouting();
    void chainWithoutProviders();
    void startupChain();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    svd::TestBackend *m_backend = nullptr;
    QTemporaryDir *m_tmp = nullptr;
};
