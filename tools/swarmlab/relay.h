#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace svd::lab {

struct RelayCounters {
    long long toLeecher = 0;   // payload bytes sent to the leecher side (TCP bytes, UDP datagram bytes)
    long long fromLeecher = 0;
    int connections = 0;       // TCP connections and UDP flows accepted so far
    int open = 0;              // of those, still open (a leecher that banned the seeder closed its)
};

// User-space relays on 127.0.0.1 that put latency in front of seeders (these
// machines have no netem). Each relay listens on one port number for TCP and/or
// UDP (uTP) and forwards to its seeder's port, delaying every chunk or datagram
// by `delayMs` +- `jitterMs` each way; TCP keeps each direction in order, UDP
// datagrams are delayed independently. All relays share one thread (epoll), so
// a test that blocks its own thread never stalls the swarm. Thread-safe API.
class RelayHub
{
public:
    struct Spec {
        int port = 0;       // to listen on, 127.0.0.1; 0 = any free one
        int targetPort = 0; // the seeder's port
        bool targetV6 = false; // the seeder listens on [::1] rather than 127.0.0.1
        bool tcp = true;    // a transport the seeder does not speak is not listened on,
        bool udp = true;    // so a leecher sees a closed port as it would without the relay
        int delayMs = 0;
        int jitterMs = 0;
        // A silent peer: no seeder behind it. TCP connections are accepted and held, and what
        // comes in (on either transport) is read and dropped; nothing is ever sent back.
        bool sink = false;
    };

    RelayHub();
    ~RelayHub();
    RelayHub(const RelayHub &) = delete;
    RelayHub &operator=(const RelayHub &) = delete;

    // Opens the listening sockets; returns the relay id (>= 0), or -1 with `error`.
    int add(const Spec &spec, int *port, QString *error);
    // The seeder left: listeners and every connection of this relay are closed.
    void drop(int id);
    // A network outage of every relay for `ms`: nothing passes either way meanwhile. With
    // `cut`, the connections open when it starts are closed as well.
    void freezeAll(int ms, bool cut = false);
    RelayCounters counters(int id) const;

    // Internal (relay.cpp).
    struct Relay;
    struct Loop;

private:
    void post(std::function<void()> fn);

    std::unique_ptr<Loop> m_loop;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Relay>> m_relays;
};

} // namespace svd::lab
