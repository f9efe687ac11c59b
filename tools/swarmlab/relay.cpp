#include "tools/swarmlab/relayloop.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace svd::lab {

using namespace relay_detail;

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
            relay->tcpListener = makeTcpListener(relay.get());
            loop->watch(relay->tcpFd, relay->tcpListener.get(), EPOLLIN);
        }
        if (relay->udpFd >= 0) {
            relay->udpListener = makeUdpListener(relay.get());
            loop->watch(relay->udpFd, relay->udpListener.get(), EPOLLIN);
        }
    });
    return id;
}

void RelayHub::freezeAll(int ms, bool cut)
{
    post([this, ms, cut] {
        const long long until = nowNs() + ms * 1'000'000LL;
        for (const auto &r : m_loop->relays) {
            r->frozenUntil = until;
            if (cut)
                r->closeLinks();
        }
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
