#include "tools/swarmlab/relayloop.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <map>

namespace svd::lab {

namespace {

using namespace relay_detail;

// A direction stops reading its source above kHigh queued bytes and resumes below kLow,
// so a slow reader on the far side holds back its sender as a real path would.
constexpr size_t kHigh = 16u << 20;
constexpr size_t kLow = 8u << 20;
constexpr long long kUdpIdleNs = 120'000'000'000LL;

// Opens a socket of `type` connected (or connecting) to the seeder; -1 on failure.
int connectToSeeder(int type, int port, bool v6)
{
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int r = 0;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(quint16(port));
        a.sin6_addr = in6addr_loopback;
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    } else {
        const sockaddr_in a = loopback(port);
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    }
    if (r != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

using Relay = RelayHub::Relay;

// One direction of a TCP pair: bytes read from one side, due to be written to the other.
struct Dir {
    std::deque<Chunk> q;
    size_t queued = 0;
    long long lastDue = 0;
    bool eof = false;
    bool paused = false;  // above kHigh: the source is not read until below kLow
    bool blocked = false; // the last write would have blocked: wait for EPOLLOUT
};

struct Pair : Watch {
    struct Side : Watch {
        Pair *pair = nullptr;
        int fd = -1;
        uint32_t mask = 0;
        void handle(uint32_t events) override { pair->onEvent(this, events); }
    };
    Relay *relay;
    Side leech;
    Side seed;
    Dir down; // seed -> leech
    Dir up;   // leech -> seed
    bool connected = false;
    bool dead = false;

    Pair(Relay *r, int leechFd) : relay(r)
    {
        leech.pair = seed.pair = this;
        leech.fd = leechFd;
    }
    ~Pair() override
    {
        for (Side *s : {&leech, &seed})
            if (s->fd >= 0)
                ::close(s->fd);
    }
    void handle(uint32_t) override {}

    bool start()
    {
        seed.fd = connectToSeeder(SOCK_STREAM, relay->spec.targetPort, relay->spec.targetV6);
        if (seed.fd < 0)
            return false;
        const int one = 1;
        setsockopt(seed.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(leech.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Connected or not yet: EPOLLOUT tells, and SO_ERROR says how it went.
        leech.mask = EPOLLIN;
        seed.mask = EPOLLOUT;
        relay->loop->watch(leech.fd, &leech, leech.mask);
        relay->loop->watch(seed.fd, &seed, seed.mask);
        return true;
    }

    void kill()
    {
        if (dead)
            return;
        dead = true;
        relay->remove(this);
    }

    // Reads what `from` has into `d`; false when the pair must close.
    bool readInto(Side &from, Dir &d, bool fromLeecher)
    {
        while (!d.eof && !d.paused) {
            const ssize_t n = ::recv(from.fd, relay->loop->buf, sizeof relay->loop->buf, 0);
            if (n > 0) {
                Chunk c;
                c.due = std::max(d.lastDue, nowNs() + relay->delayNs());
                d.lastDue = c.due;
                c.data.assign(relay->loop->buf, relay->loop->buf + n);
                d.q.push_back(std::move(c));
                d.queued += size_t(n);
                d.paused = d.queued > kHigh;
                if (fromLeecher)
                    relay->fromLeecher += n;
                continue;
            }
            if (n == 0) {
                d.eof = true;
                return true;
            }
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        return true;
    }

    // Writes the due part of `d` to `to`; false when the pair must close.
    bool flush(Dir &d, Side &to, bool toLeecher, long long now)
    {
        while (!d.blocked && !d.q.empty() && d.q.front().due <= now && now >= relay->frozenUntil) {
            Chunk &c = d.q.front();
            const ssize_t w = ::send(to.fd, c.data.data() + c.off, c.data.size() - c.off, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    d.blocked = true;
                    break;
                }
                if (errno == EINTR)
                    continue;
                return false;
            }
            c.off += size_t(w);
            d.queued -= size_t(w);
            if (toLeecher)
                relay->toLeecher += w;
            if (c.off == c.data.size())
                d.q.pop_front();
        }
        if (d.paused && d.queued < kLow)
            d.paused = false;
        // A side that closed is closed on the other side once what it sent is through.
        return !(d.eof && d.q.empty());
    }

    void onEvent(Side *s, uint32_t events)
    {
        if (dead)
            return;
        if (s == &seed && !connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(seed.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                kill();
                return;
            }
            connected = true;
        }
        if (events & EPOLLOUT)
            (s == &leech ? down : up).blocked = false;
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            bool ok = true;
            if (s == &leech)
                ok = readInto(leech, up, true);
            else if (connected)
                ok = readInto(seed, down, false);
            if (!ok)
                kill();
        }
    }

    void flushBoth(long long now)
    {
        if (dead)
            return;
        if (!flush(down, leech, true, now) || (connected && !flush(up, seed, false, now))) {
            kill();
            return;
        }
        // After end of file a side is no longer watched for input, so a half-closed
        // socket does not wake the loop until its pending bytes are through.
        auto want = [](const Dir &readDir, const Dir &writeDir) {
            uint32_t m = 0;
            if (!readDir.eof && !readDir.paused)
                m |= EPOLLIN;
            if (writeDir.blocked)
                m |= EPOLLOUT;
            return m;
        };
        const uint32_t leechMask = want(up, down);
        const uint32_t seedMask = connected ? want(down, up) : uint32_t(EPOLLOUT);
        if (leechMask != leech.mask)
            relay->loop->modify(leech.fd, &leech, leech.mask = leechMask);
        if (seedMask != seed.mask)
            relay->loop->modify(seed.fd, &seed, seed.mask = seedMask);
    }

    long long nextDue() const
    {
        long long next = -1;
        for (const Dir *d : {&down, &up})
            if (!d->blocked && !d->q.empty() && (next < 0 || d->q.front().due < next))
                next = d->q.front().due;
        return next;
    }
};

struct Flow : Watch {
    Relay *relay;
    sockaddr_in client{};
    int fd = -1;
    std::deque<Chunk> toSeed;
    std::deque<Chunk> toLeech;
    size_t queued = 0;
    long long lastActive = 0;
    bool dead = false;

    Flow(Relay *r, const sockaddr_in &from) : relay(r), client(from) {}
    ~Flow() override
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool start()
    {
        fd = connectToSeeder(SOCK_DGRAM, relay->spec.targetPort, relay->spec.targetV6);
        if (fd < 0)
            return false;
        relay->loop->watch(fd, this, EPOLLIN);
        return true;
    }
    void enqueue(std::deque<Chunk> &q, const char *data, ssize_t n)
    {
        lastActive = nowNs();
        if (queued > kHigh || lastActive < relay->frozenUntil)
            return; // a full queue drops datagrams, as a router would; so does an outage
        Chunk c;
        c.due = lastActive + relay->delayNs();
        c.data.assign(data, data + n);
        // Jitter may reorder datagrams: keep the queue sorted by due time.
        auto it = q.end();
        while (it != q.begin() && std::prev(it)->due > c.due)
            --it;
        q.insert(it, std::move(c));
        queued += size_t(n);
    }
    void handle(uint32_t) override
    {
        for (;;) {
            const ssize_t n = ::recv(fd, relay->loop->buf, sizeof relay->loop->buf, 0);
            // ECONNREFUSED: a seeder port without UDP answered an earlier datagram; it is lost.
            if (n < 0 && (errno == EINTR || errno == ECONNREFUSED))
                continue;
            if (n < 0)
                return;
            enqueue(toLeech, relay->loop->buf, n);
        }
    }
    void flush(long long now)
    {
        while (!toSeed.empty() && toSeed.front().due <= now) {
            const Chunk &c = toSeed.front();
            ::send(fd, c.data.data(), c.data.size(), MSG_NOSIGNAL);
            queued -= c.data.size();
            toSeed.pop_front();
        }
        while (!toLeech.empty() && toLeech.front().due <= now) {
            const Chunk &c = toLeech.front();
            const ssize_t w = ::sendto(relay->udpFd, c.data.data(), c.data.size(), MSG_NOSIGNAL,
                                       reinterpret_cast<const sockaddr *>(&client), sizeof client);
            if (w > 0)
                relay->toLeecher += w;
            queued -= c.data.size();
            toLeech.pop_front();
        }
        if (toSeed.empty() && toLeech.empty() && now - lastActive > kUdpIdleNs && !dead) {
            dead = true;
            relay->remove(this);
        }
    }
    long long nextDue() const
    {
        long long next = -1;
        for (const std::deque<Chunk> *q : {&toSeed, &toLeech})
            if (!q->empty() && (next < 0 || q->front().due < next))
                next = q->front().due;
        return next;
    }
};

// A connection to a silent peer: held open, its bytes read and dropped.
struct Sink : Watch {
    Relay *relay;
    int fd;
    bool dead = false;
    Sink(Relay *r, int f) : relay(r), fd(f) { relay->loop->watch(fd, this, EPOLLIN); }
    ~Sink() override { ::close(fd); }
    void handle(uint32_t) override
    {
        for (;;) {
            const ssize_t n = ::recv(fd, relay->loop->buf, sizeof relay->loop->buf, 0);
            if (n > 0) {
                relay->fromLeecher += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if ((n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) && !dead) {
                dead = true;
                relay->remove(this);
            }
            return;
        }
    }
};

struct TcpListener : Watch {
    Relay *relay;
    explicit TcpListener(Relay *r) : relay(r) {}
    void handle(uint32_t) override
    {
        for (;;) {
            const int fd = ::accept4(relay->tcpFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            if (relay->spec.sink) {
                relay->connections += 1;
                relay->open += 1;
                relay->links.push_back(std::make_unique<Sink>(relay, fd));
                continue;
            }
            auto pair = std::make_unique<Pair>(relay, fd);
            if (!pair->start())
                continue; // the seeder is gone: the pair's destructor closes the leecher's socket
            relay->connections += 1;
            relay->open += 1;
            relay->links.push_back(std::move(pair));
        }
    }
};

struct UdpListener : Watch {
    Relay *relay;
    std::map<std::pair<quint32, quint16>, Flow *> flows;
    explicit UdpListener(Relay *r) : relay(r) {}
    void handle(uint32_t) override
    {
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(relay->udpFd, relay->loop->buf, sizeof relay->loop->buf, 0,
                                         reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return;
            if (relay->spec.sink) {
                relay->fromLeecher += n; // a uTP hello that is never answered
                continue;
            }
            const auto key = std::make_pair(quint32(from.sin_addr.s_addr), quint16(from.sin_port));
            auto it = flows.find(key);
            if (it == flows.end() || it->second->dead) {
                auto flow = std::make_unique<Flow>(relay, from);
                if (!flow->start())
                    continue;
                relay->connections += 1;
                relay->open += 1;
                it = flows.insert_or_assign(key, flow.get()).first;
                relay->links.push_back(std::move(flow));
            }
            relay->fromLeecher += n;
            it->second->enqueue(it->second->toSeed, relay->loop->buf, n);
        }
    }
};

} // namespace

std::unique_ptr<relay_detail::Watch> relay_detail::makeTcpListener(RelayHub::Relay *relay)
{
    return std::make_unique<TcpListener>(relay);
}

std::unique_ptr<relay_detail::Watch> relay_detail::makeUdpListener(RelayHub::Relay *relay)
{
    return std::make_unique<UdpListener>(relay);
}

void RelayHub::Relay::remove(Watch *link)
{
    open -= 1;
    if (auto *u = static_cast<UdpListener *>(udpListener.get()))
        for (auto it = u->flows.begin(); it != u->flows.end();)
            it = it->second == link ? u->flows.erase(it) : std::next(it);
    // Deleted after this round of events: the epoll batch may still point at it.
    loop->reapers.push_back([this, link] {
        for (auto it = links.begin(); it != links.end(); ++it)
            if (it->get() == link) {
                links.erase(it);
                return;
            }
    });
}

void RelayHub::Relay::closeAll()
{
    dropped = true;
    for (int *fd : {&tcpFd, &udpFd})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    closeLinks();
}

void RelayHub::Relay::closeLinks()
{
    open = 0;
    for (auto &l : links) {
        if (auto *p = dynamic_cast<Pair *>(l.get()))
            p->dead = true;
        if (auto *f = dynamic_cast<Flow *>(l.get()))
            f->dead = true;
        if (auto *k = dynamic_cast<Sink *>(l.get()))
            k->dead = true;
    }
    if (auto *u = static_cast<UdpListener *>(udpListener.get()))
        u->flows.clear();
    // Closing the descriptors (in the destructors) also takes them out of epoll. Links
    // accepted later in this round of events stay.
    loop->reapers.push_back([this] {
        links.remove_if([](const std::unique_ptr<Watch> &l) {
            const auto *p = dynamic_cast<const Pair *>(l.get());
            const auto *f = dynamic_cast<const Flow *>(l.get());
            const auto *k = dynamic_cast<const Sink *>(l.get());
            return (p && p->dead) || (f && f->dead) || (k && k->dead);
        });
    });
}

long long RelayHub::Relay::nextDue() const
{
    long long next = -1;
    for (const auto &l : links) {
        long long d = -1;
        if (auto *p = dynamic_cast<const Pair *>(l.get()))
            d = p->dead ? -1 : p->nextDue();
        else if (auto *f = dynamic_cast<const Flow *>(l.get()))
            d = f->dead ? -1 : f->nextDue();
        if (d >= 0 && (next < 0 || d < next))
            next = d;
    }
    // What is due during an outage is due when it ends.
    return next >= 0 ? std::max(next, frozenUntil) : next;
}

void RelayHub::Relay::flushAll(long long now)
{
    for (auto &l : links) {
        if (auto *p = dynamic_cast<Pair *>(l.get()))
            p->flushBoth(now);
        else if (auto *f = dynamic_cast<Flow *>(l.get()); f && !f->dead)
            f->flush(now);
    }
}

} // namespace svd::lab
