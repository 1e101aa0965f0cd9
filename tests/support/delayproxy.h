/*
 * delayproxy.h - a TCP proxy on the loopback interface that delays every
 * byte by a fixed time in each direction: a database "in the next rack"
 * for tests and benchmarks, on a kernel without netem.
 *
 * It listens on 127.0.0.1 (a port of its own choosing unless given) and
 * connects each client to 127.0.0.1:target. Data read from either side is
 * sent on to the other once the delay has passed since it was read, in
 * order; an end of stream is passed on the same way. It stops by itself
 * after its lifetime or once it has accepted its last connection and that
 * has ended, and always when the object goes: every connection is then
 * cut, so a test that forgets it cannot leave it running.
 *
 * Threading: one accepting thread, and per connection one thread per
 * direction reading and one delivering; all end at stop().
 */
#ifndef KEL_DELAYPROXY_H
#define KEL_DELAYPROXY_H

#include <memory>

namespace kt {

class DelayProxy {
public:
    struct Options {
        int target = 0;          /* port on 127.0.0.1 to connect to */
        long delayMicros = 0;    /* one-way delay */
        int listenPort = 0;      /* 0: any free port */
        int lifetimeSeconds = 600;
        int maxConnections = 1000;
    };

    explicit DelayProxy(const Options &options);
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    /* The port it listens on; 0 when it could not listen. */
    int port() const;
    /* Connections accepted so far. */
    int accepted() const;
    /* Cuts every connection and stops listening; waits for its threads. */
    void stop();
    /* Waits until the proxy has stopped by itself (lifetime, last
     * connection) or stop() was called. */
    void wait();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace kt

#endif
