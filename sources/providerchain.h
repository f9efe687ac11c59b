#pragma once

#include "sources/chainprovider.h"
#include "sources/fixtureprovider.h"

#include <QStringList>
#include <QUrl>

namespace svd {

// The provider chain the program runs with: a FixtureProvider when there are
// fixture paths (`playFixture` first, then `fixtures`), then the backend when
// `useApi` and no `playFixture`; the backend alone when nothing else was added,
// so the chain is never empty. A fixture file that fails to load is logged as
// "fixtures: " + error; folders load their *.json files silently.
// *fixtureProvider (optional) receives the fixture provider or null; it is
// owned by the returned chain, which the caller owns.
ChainProvider *buildProviderChain(const QStringList &fixtures, const QString &playFixture, bool useApi,
                                  const QUrl &api, FixtureProvider **fixtureProvider = nullptr);

} // namespace svd
