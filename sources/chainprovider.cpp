#include "sources/chainprovider.h"

#include <QStringList>
#include <QTimer>

namespace svd {

ChainProvider::ChainProvider(const QList<SourceProvider *> &providers, QObject *parent)
    : SourceProvider(parent)
{
    for (SourceProvider *p : providers) {
        if (!p)
            continue;
        p->setParent(this);
        m_providers.append(p);
    }
}

QString ChainProvider::sourceKey(const SourceInfo &source)
{
    return source.id + QLatin1Char('|') + source.infoHash;
}

QString ChainProvider::describe() const
{
    QStringList parts;
    for (const SourceProvider *p : m_providers)
        parts.append(p->describe());
    return parts.join(QStringLiteral(" -> "));
}

void ChainProvider::fetchEpisode(qint64 animeId, int episode, EpisodeCallback done)
{
    if (m_providers.isEmpty()) {
        // Nothing to ask: still answer after the caller has returned.
        QTimer::singleShot(0, this, [this, animeId, episode, done = std::move(done)]() mutable {
            tryAt(0, animeId, episode, std::move(done), QString());
        });
        return;
    }
    tryAt(0, animeId, episode, std::move(done), QString());
}

// Every step after the first runs inside a provider's callback, so the final
// answer is never synchronous as long as the providers keep their contract.
void ChainProvider::tryAt(int index, qint64 animeId, int episode, EpisodeCallback done, QString errors)
{
    if (index >= m_providers.size()) {
        EpisodeSources none;
        none.animeId = animeId;
        none.episode = episode;
        none.error = errors;
        done(std::move(none));
        return;
    }
    SourceProvider *provider = m_providers.at(index);
    provider->fetchEpisode(
        animeId, episode,
        [this, provider, index, animeId, episode, done = std::move(done), errors](EpisodeSources answer) mutable {
            if (!answer.sources.isEmpty()) {
                for (const SourceInfo &s : answer.sources)
                    m_origin.insert(sourceKey(s), provider);
                done(std::move(answer));
                return;
            }
            if (!answer.error.isEmpty()) {
                if (!errors.isEmpty())
                    errors += QStringLiteral("; ");
                errors += provider->describe() + QStringLiteral(": ") + answer.error;
            }
            tryAt(index + 1, animeId, episode, std::move(done), std::move(errors));
        });
}

void ChainProvider::fetchTorrent(const SourceInfo &source, TorrentCallback done)
{
    SourceProvider *provider = m_origin.value(sourceKey(source));
    if (!provider && !m_providers.isEmpty())
        provider = m_providers.last();
    if (!provider) {
        QTimer::singleShot(0, this, [done = std::move(done)]() { done(QByteArray(), QStringLiteral("no provider")); });
        return;
    }
    provider->fetchTorrent(source, std::move(done));
}

} // namespace svd
