#include "sources/providerchain.h"

#include "base/log.h"
#include "sources/apiprovider.h"

namespace svd {

ChainProvider *buildProviderChain(const QStringList &fixtures, const QString &playFixture, bool useApi,
                                  const QUrl &api, FixtureProvider **fixtureProvider)
{
    QStringList paths = fixtures;
    if (!playFixture.isEmpty())
        paths.prepend(playFixture);

    QList<SourceProvider *> list;
    FixtureProvider *fixture = nullptr;
    if (!paths.isEmpty()) {
        fixture = new FixtureProvider({});
        for (const QString &p : paths) {
            QString error;
            if (!fixture->loadPath(p, &error))
                logLine(QStringLiteral("fixtures: ") + error);
        }
        list.append(fixture);
    }
    if ((useApi && playFixture.isEmpty()) || list.isEmpty())
        list.append(new ApiProvider(api));
    if (fixtureProvider)
        *fixtureProvider = fixture;
    return new ChainProvider(list);
}

} // namespace svd
