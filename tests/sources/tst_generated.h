#pragma once

#include <QObject>

// The generated test episodes, read back through the providers and libtorrent.
class TestGenerated : public QObject {
    Q_OBJECT
private slots:
    void fixtureMatchesTorrents();
    void servedByBackend();
    void regenerationIsIdentical();
};
