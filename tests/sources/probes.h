#pragma once

#include "sources/sourceprovider.h"
#include "tests/common/timescale.h"

#include <QByteArray>
#include <QString>

// Records the answers of one provider request: how often the callback ran and
// whether it ran before the request call had returned.
struct EpisodeProbe {
    int calls = 0;
    bool returned = false;
    bool synchronous = false;
    svd::EpisodeSources value;

    svd::SourceProvider::EpisodeCallback callback()
    {
        return [this](svd::EpisodeSources e) {
            ++calls;
            synchronous = synchronous || !returned;
            value = std::move(e);
        };
    }
};

struct TorrentProbe {
    int calls = 0;
    bool returned = false;
    bool synchronous = false;
    QByteArray bytes;
    QString error;

    svd::SourceProvider::TorrentCallback callback()
    {
        return [this](QByteArray b, QString e) {
            ++calls;
            synchronous = synchronous || !returned;
            bytes = std::move(b);
            error = std::move(e);
        };
    }
};

// Runs the request, then waits for exactly one asynchronous answer.
#define SVD_FETCH(probe, call)                                                                               \
    do {                                                                                                     \
        call;                                                                                                \
        (probe).returned = true;                                                                             \
        QTRY_COMPARE_WITH_TIMEOUT((probe).calls, 1, svd::test::waitMs(15000));                               \
        QVERIFY2(!(probe).synchronous, "callback ran inside the request call");                              \
        QTest::qWait(20);                                                                                    \
        QCOMPARE((probe).calls, 1);                                                                          \
    } while (false)
