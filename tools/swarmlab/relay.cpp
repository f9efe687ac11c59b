#include "tools/swarmlab/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <random>

namespace svd::lab {

namespace {

// A direction stops reading its source above kHigh queued bytes and resumes below kLow,
// so a slow reader on the far side holds back its sender as a real path would.
constexpr size_t kHigh = 16u << 20;
constexpr size_t kLow = 8u << 20;
constexpr size_t kReadChunk = 256u << 10;
constexpr long long kUdpIdleNs = 120'000'000'000LL;

long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

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

struct Chunk {
    long long due = 0;
    std::vector<char> data;
    size_t off = 0;
};

struct Watch {
    virtual ~Watch() = default;
    virtual void handle(uint32_t events) = 0;
};

} // namespace

struct RelayHub::Loop {
    int epoll = -1;
    int wake = -1;
    bool stop = false;
    std::mutex mutex;
    std::vector<std::function<void()>> commands;
    std::list<std::function<void()>> reapers; // run after each round of events
    char buf[kReadChunk];
    std::vector<std::shared_ptr<Relay>> relays; // loop-thread copy

    void watch(int fd, Watch *w, uint32_t events)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = w;
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    void modify(int fd, Watch *w, uint32_t events)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = w;
        epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &ev);
    }
    void run();
};

namespace {

struct Pair;
struct Flow;

} // namespace

struct RelayHub::Relay {
    int id = 0;
    Spec spec;
    int tcpFd = -1;
    int udpFd = -1;
    std::atomic<long long> toLeecher{0};
    std::atomic<long long> fromLeecher{0};
    std::atomic<int> connections{0};
    std::atomic<int> open{0};
    // Loop thread only from here on.
    Loop *loop = nullptr;
    bool dropped = false;
    // Until then (nowNs clock) nothing passes: TCP bytes wait in the relay and
    // then in the kernel's buffers, datagrams are lost, as in a network outage.
    long long frozenUntil = 0;
    std::mt19937 rng;
    std::list<std::unique_ptr<Watch>> links; // TCP pairs and UDP flows
    std::unique_ptr<Watch> tcpListener;
    std::unique_ptr<Watch> udpListener;

    long long delayNs()
    {
        long long ms = spec.delayMs;
        if (spec.jitterMs > 0)
            ms += std::uniform_int_distribution<int>(-spec.jitterMs, spec.jitterMs)(rng);
        return std::max(0LL, ms) * 1'000'000LL;
    }
    void remove(Watch *link);
    void closeAll();
    long long nextDue() const;
    void flushAll(long long now);
};

namespace {

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

struct TcpListener : Watch {
    Relay *relay;
    explicit TcpListener(Relay *r) : relay(r) {}
    void handle(uint32_t) override
    {
        for (;;) {
            const int fd = ::accept4(relay->tcpFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
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
    open = 0;
    for (int *fd : {&tcpFd, &udpFd})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    for (auto &l : links) {
        if (auto *p = dynamic_cast<Pair *>(l.get()))
            p->dead = true;
        if (auto *f = dynamic_cast<Flow *>(l.get()))
            f->dead = true;
    }
    if (auto *u = static_cast<UdpListener *>(udpListener.get()))
        u->flows.clear();
    // Closing the descriptors (in the destructors) also takes them out of epoll.
    loop->reapers.push_back([this] { links.clear(); });
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

void RelayHub::Loop::run()
{
    epoll_event events[64];
    while (!stop) {
        long long next = -1;
        for (const auto &r : relays)
            if (const long long d = r->nextDue(); d >= 0 && (next < 0 || d < next))
                next = d;
        int timeoutMs = -1;
        if (next >= 0)
            timeoutMs = int(std::max(0LL, (next - nowNs() + 999'999) / 1'000'000));
        const int n = epoll_wait(epoll, events, 64, timeoutMs);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == nullptr) {
                uint64_t v = 0;
                [[maybe_unused]] const ssize_t r = ::read(wake, &v, sizeof v);
                std::vector<std::function<void()>> todo;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    todo.swap(commands);
                }
                for (auto &fn : todo)
                    fn();
                continue;
            }
            static_cast<Watch *>(events[i].data.ptr)->handle(events[i].events);
        }
        const long long now = nowNs();
        for (const auto &r : relays)
            r->flushAll(now);
        while (!reapers.empty()) {
            auto fn = std::move(reapers.front());
            reapers.pop_front();
            fn();
        }
    }
}

RelayHub::RelayHub() : m_loop(std::make_unique<Loop>())
{
    m_loop->epoll = epoll_create1(EPOLL_CLOEXEC);
    m_loop->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(m_loop->epoll, EPOLL_CTL_ADD, m_loop->wake, &ev);
    m_thread = std::thread([loop = m_loop.get()] { loop->run(); });
}

RelayHub::~RelayHub()
{
    post([loop = m_loop.get()] {
        for (const auto &r : loop->relays)
            r->closeAll();
        loop->stop = true;
    });
    m_thread.join();
    for (const auto &r : m_loop->relays)
        r->links.clear();
    ::close(m_loop->wake);
    ::close(m_loop->epoll);
}

void RelayHub::post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(m_loop->mutex);
        m_loop->commands.push_back(std::move(fn));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(m_loop->wake, &one, sizeof one);
}

int RelayHub::add(const Spec &spec, int *port, QString *error)
{
    auto relay = std::make_shared<Relay>();
    relay->spec = spec;
    relay->loop = m_loop.get();
    // One port number for both transports: bind TCP on the given (or a free) port, then UDP on
    // the same one.
    for (int attempt = 0; attempt < (spec.port > 0 ? 1 : 50); ++attempt) {
        int tcp = -1;
        int udp = -1;
        int p = 0;
        if (spec.tcp) {
            tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in any = loopback(spec.port);
            sockaddr_in got{};
            socklen_t len = sizeof got;
            if (tcp < 0 || ::bind(tcp, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0 ||
                ::listen(tcp, 128) != 0 || getsockname(tcp, reinterpret_cast<sockaddr *>(&got), &len) != 0) {
                if (tcp >= 0)
                    ::close(tcp);
                continue;
            }
            p = ntohs(got.sin_port);
        }
        if (spec.udp) {
            udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in at = loopback(spec.tcp ? p : spec.port);
            sockaddr_in got{};
            socklen_t len = sizeof got;
            if (udp < 0 || ::bind(udp, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0 ||
                getsockname(udp, reinterpret_cast<sockaddr *>(&got), &len) != 0) {
                if (udp >= 0)
                    ::close(udp);
                if (tcp >= 0)
                    ::close(tcp);
                continue;
            }
            p = ntohs(got.sin_port);
            // Big buffers: uTP bursts at loopback speed must not be dropped by the relay itself.
            const int size = 4 << 20;
            setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            setsockopt(udp, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
        relay->tcpFd = tcp;
        relay->udpFd = udp;
        *port = p;
        break;
    }
    if (relay->tcpFd < 0 && relay->udpFd < 0) {
        if (error)
            *error = spec.port > 0 ? QStringLiteral("relay: port %1 on 127.0.0.1 is taken").arg(spec.port)
                                   : QStringLiteral("relay: no free port for TCP and UDP on 127.0.0.1");
        return -1;
    }
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = int(m_relays.size());
        relay->id = id;
        relay->rng.seed(quint32(1000 + id));
        m_relays.push_back(relay);
    }
    post([loop = m_loop.get(), relay] {
        loop->relays.push_back(relay);
        if (relay->tcpFd >= 0) {
            relay->tcpListener = std::make_unique<TcpListener>(relay.get());
            loop->watch(relay->tcpFd, relay->tcpListener.get(), EPOLLIN);
        }
        if (relay->udpFd >= 0) {
            relay->udpListener = std::make_unique<UdpListener>(relay.get());
            loop->watch(relay->udpFd, relay->udpListener.get(), EPOLLIN);
        }
    });
    return id;
}

void RelayHub::freezeAll(int ms)
{
    post([this, ms] {
        const long long until = nowNs() + ms * 1'000'000LL;
        for (const auto &r : m_loop->relays)
            r->frozenUntil = until;
    });
}

void RelayHub::drop(int id)
{
    std::shared_ptr<Relay> relay;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (id < 0 || id >= int(m_relays.size()))
            return;
        relay = m_relays.at(size_t(id));
    }
    post([relay] { relay->closeAll(); });
}

RelayCounters RelayHub::counters(int id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (id < 0 || id >= int(m_relays.size()))
        return {};
    const Relay &r = *m_relays.at(size_t(id));
    return {r.toLeecher.load(), r.fromLeecher.load(), r.connections.load(), r.open.load()};
}

} // namespace svd::lab
