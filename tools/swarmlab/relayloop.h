#pragma once

// Inside the relays (relay.cpp, relaylinks.cpp): the epoll loop, a relay's state and the
// watches of its sockets. The loop thread owns everything here but the atomics.
#include "tools/swarmlab/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>

#include <atomic>
#include <ctime>
#include <list>
#include <memory>
#include <random>
#include <vector>

namespace svd::lab {

namespace relay_detail {

constexpr size_t kReadChunk = 256u << 10;

inline long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
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

// The listening sockets of a relay: accepted TCP connections and new UDP flows become its links.
std::unique_ptr<Watch> makeTcpListener(RelayHub::Relay *relay);
std::unique_ptr<Watch> makeUdpListener(RelayHub::Relay *relay);

} // namespace relay_detail

struct RelayHub::Loop {
    using Watch = relay_detail::Watch;
    int epoll = -1;
    int wake = -1;
    bool stop = false;
    std::mutex mutex;
    std::vector<std::function<void()>> commands;
    std::list<std::function<void()>> reapers; // run after each round of events
    char buf[relay_detail::kReadChunk];
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

struct RelayHub::Relay {
    using Watch = relay_detail::Watch;
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
    // Every connection and flow ends; the listeners stay.
    void closeLinks();
    long long nextDue() const;
    void flushAll(long long now);
};

} // namespace svd::lab
