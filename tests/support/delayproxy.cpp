/*
 * delayproxy.cpp - the loopback TCP proxy of delayproxy.h: chunks read
 * from one side are queued with the time they are due and written to the
 * other side when it comes.
 */
#include "delayproxy.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <errno.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt {

using Clock = std::chrono::steady_clock;

namespace {

struct Chunk {
    Clock::time_point due;
    std::string data; /* empty: the end of the stream */
};

/* One direction of one connection. */
struct Pipe {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Chunk> chunks;
    bool cut = false;
};

struct Conn {
    int client = -1, server = -1;
    Pipe up, down; /* client to server, server to client */
    int running = 4; /* threads still working on it */
};

int loopbackSocket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool writeAll(int fd, const std::string &data)
{
    for (size_t done = 0; done < data.size();) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

} // namespace

struct DelayProxy::State {
    Options opt;
    int listener = -1;
    int port = 0;
    std::mutex lock;
    std::condition_variable changed;
    bool stopping = false;
    bool stopped = false; /* by itself or by stop() */
    int accepted = 0;
    std::vector<std::shared_ptr<Conn>> conns;
    std::vector<std::thread> threads;
    std::thread acceptor;

    /* Reads from one side and queues what it read, due after the delay. */
    void reader(std::shared_ptr<Conn> c, int from, Pipe *p)
    {
        char buf[65536];
        for (;;) {
            ssize_t n = recv(from, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            Chunk chunk{Clock::now() + std::chrono::microseconds(opt.delayMicros),
                        n > 0 ? std::string(buf, (size_t)n) : std::string()};
            std::lock_guard<std::mutex> hold(p->lock);
            p->chunks.push_back(std::move(chunk));
            p->ready.notify_one();
            if (n <= 0)
                break;
        }
        done(c);
    }

    /* Writes each queued chunk to the other side when it is due. */
    void deliverer(std::shared_ptr<Conn> c, int to, Pipe *p)
    {
        std::unique_lock<std::mutex> hold(p->lock);
        for (;;) {
            p->ready.wait(hold, [p] { return p->cut || !p->chunks.empty(); });
            if (p->cut)
                break;
            Clock::time_point due = p->chunks.front().due;
            if (p->ready.wait_until(hold, due, [p] { return p->cut; }))
                break;
            Chunk chunk = std::move(p->chunks.front());
            p->chunks.pop_front();
            hold.unlock();
            bool ok = !chunk.data.empty() && writeAll(to, chunk.data);
            hold.lock();
            if (!ok) {
                /* End of stream passed on; a failed write cuts both ways. */
                shutdown(to, chunk.data.empty() ? SHUT_WR : SHUT_RDWR);
                break;
            }
        }
        hold.unlock();
        done(c);
    }

    void done(const std::shared_ptr<Conn> &c)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (--c->running == 0) {
            close(c->client);
            close(c->server);
            c->client = c->server = -1;
        }
        changed.notify_all();
    }

    void cut(Conn &c)
    {
        for (Pipe *p : {&c.up, &c.down}) {
            std::lock_guard<std::mutex> hold(p->lock);
            p->cut = true;
            p->ready.notify_all();
        }
        if (c.client >= 0)
            shutdown(c.client, SHUT_RDWR);
        if (c.server >= 0)
            shutdown(c.server, SHUT_RDWR);
    }

    void open(int client)
    {
        int server = loopbackSocket();
        sockaddr_in to = loopback(opt.target);
        if (server < 0 || connect(server, (sockaddr *)&to, sizeof to) != 0) {
            close(client);
            if (server >= 0)
                close(server);
            return;
        }
        auto c = std::make_shared<Conn>();
        c->client = client;
        c->server = server;
        std::lock_guard<std::mutex> hold(lock);
        conns.push_back(c);
        threads.emplace_back(&State::reader, this, c, client, &c->up);
        threads.emplace_back(&State::deliverer, this, c, server, &c->up);
        threads.emplace_back(&State::reader, this, c, server, &c->down);
        threads.emplace_back(&State::deliverer, this, c, client, &c->down);
    }

    bool live()
    {
        for (auto &c : conns)
            if (c->running > 0)
                return true;
        return false;
    }

    void acceptLoop()
    {
        Clock::time_point end = Clock::now() + std::chrono::seconds(opt.lifetimeSeconds);
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock);
                if (stopping || Clock::now() >= end)
                    break;
                if (accepted >= opt.maxConnections) {
                    /* The last connection ends the proxy. */
                    changed.wait_until(hold, end, [this] { return stopping || !live(); });
                    break;
                }
            }
            pollfd p = {listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            {
                std::lock_guard<std::mutex> hold(lock);
                accepted++;
            }
            open(client);
        }
        std::lock_guard<std::mutex> hold(lock);
        for (auto &c : conns)
            cut(*c);
        stopped = true;
        changed.notify_all();
    }
};

DelayProxy::DelayProxy(const Options &options) : state_(std::make_shared<State>())
{
    State &s = *state_;
    s.opt = options;
    s.listener = loopbackSocket();
    sockaddr_in at = loopback(options.listenPort);
    socklen_t len = sizeof at;
    int on = 1;
    if (s.listener < 0 || setsockopt(s.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s.listener, (sockaddr *)&at, sizeof at) != 0 || listen(s.listener, 64) != 0 ||
        getsockname(s.listener, (sockaddr *)&at, &len) != 0) {
        if (s.listener >= 0)
            close(s.listener);
        s.listener = -1;
        s.stopped = true;
        return;
    }
    s.port = ntohs(at.sin_port);
    s.acceptor = std::thread(&State::acceptLoop, &s);
}

DelayProxy::~DelayProxy()
{
    stop();
}

int DelayProxy::port() const
{
    return state_->port;
}

int DelayProxy::accepted() const
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->accepted;
}

void DelayProxy::stop()
{
    State &s = *state_;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.stopping = true;
        s.changed.notify_all();
    }
    if (s.acceptor.joinable())
        s.acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        threads.swap(s.threads);
    }
    for (std::thread &t : threads)
        t.join();
    if (s.listener >= 0)
        close(s.listener);
    s.listener = -1;
}

void DelayProxy::wait()
{
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->changed.wait(hold, [this] { return state_->stopped; });
}

} // namespace kt
