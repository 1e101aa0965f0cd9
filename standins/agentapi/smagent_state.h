/*
 * smagent_state.h - the in-memory state of the stand-in Agent API, shared
 * by its Agent API functions (smagentapi.cpp) and its control interface
 * (smagent_control.cpp).
 *
 * Threading: the state is split so that logins on many threads do not
 * queue behind one lock:
 *  - sessions live in SHARDS shards, each with its own mutex; a session's
 *    token and its id begin with the same two hex digits, which pick the
 *    shard, so decoding (by token) and login or logout (by id) find the
 *    session under one shard lock;
 *  - attribute lists handed out are registered in shards of their own,
 *    picked by address;
 *  - agents are read on every call and changed only by Init, UnInit and
 *    the control interface: a shared mutex, and a version number that
 *    every change moves on, so that a thread asking again about the handle
 *    it asked about last reads only the version (handleState);
 *  - call counters are atomics spread over cache lines by thread; the
 *    clock and whether any result is forced are atomics; forced results, queued commands and the recorded requests
 *    sit under controlLock, which the calls take only when a result is
 *    forced or for a management request.
 * No two of these locks are ever held at once.
 */
#ifndef SMAGENT_STATE_H
#define SMAGENT_STATE_H

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "smagent_control.h"

/* The library is built with hidden visibility; only the Agent API and the
 * control interface are exported. */
#define SMAGENT_EXPORT __attribute__((visibility("default")))

namespace smagent {

typedef std::vector<std::pair<int, std::string>> Attrs;

struct Agent {
    std::string name;
};

struct Session {
    std::string token;
    std::string userDn;
    std::string userName;
    std::string clientIp;
    std::string sessionId;
    std::string sessionSpec;
    long startTime;
    long lastTime;
    int idleTimeout;
    int maxTimeout;
    Attrs extras;
    bool extrasOnly;
};

const int SHARDS = 64;

struct Shard {
    std::mutex lock;
    std::unordered_map<std::string, Session> byToken;
    std::unordered_map<std::string, std::string> tokenOfId; /* session id -> token */
    std::string lastToken;  /* the last token decoded here, */
    long lastTokenSeq = 0;  /* and when (0: none) */
};

struct ListShard {
    std::mutex lock;
    std::unordered_map<Sm_AgentApi_Attribute_t *, int> open; /* list -> entries */
};

struct Forced {
    int code = 0;
    int times = 0; /* < 0: until reset */
};

struct Agents {
    std::shared_mutex lock;
    std::atomic<long> version{0}; /* moved on under lock, exclusive */
    std::unordered_map<std::string, std::string> secrets; /* name -> secret */
    std::set<Agent *> live;
    /* Given to UnInit; kept (and owned here) until reset or exit. */
    std::unordered_map<Agent *, std::unique_ptr<Agent>> released;
};

/* What the calls record and the control interface sets, under lock. */
struct Control {
    std::mutex lock;
    Forced forced[SMAGENT_FN_COUNT];
    Attrs commands; /* queued management commands */
    bool haveManagement = false;
    int lastManageCode = 0;
    std::string lastManageData;
    bool haveInit = false;
    Sm_AgentApi_Init_t lastInit;
    Sm_AgentApi_Server_t lastServer;
};

extern Shard shards[SHARDS];
extern ListShard listShards[SHARDS];
extern Agents agents;
extern Control control;
/* Calls per function, counted on the line of the calling thread. */
const int COUNTER_LINES = 16;
struct alignas(64) CallCounts {
    std::atomic<int> n[SMAGENT_FN_COUNT];
};
extern CallCounts calls[COUNTER_LINES];
int callCount(int fn);
void countFree();
extern std::atomic<int> forcedCount; /* functions with a forced result pending */
extern std::atomic<int> badFrees;
extern std::atomic<long> tokenSeq;
extern std::atomic<bool> clockFrozen;
extern std::atomic<long> frozenTime;

long now();

/* Counts a call of fn and takes one forced result of it, if any. */
bool countCall(int fn, int *code);

std::string boundedText(const char *text, size_t size);
void copyOut(const std::string &text, char *buf, int size);

/* n random bytes as 2n hex digits. */
std::string randomHex(int bytes);

/* The shard of a token or a session id. */
Shard &shardOf(const std::string &key);

/* Hands out a list of attrs (registered as open), or NULL. */
Sm_AgentApi_Attribute_t *newList(const Attrs &attrs);

/* Takes a list back: false when it is not open, or count is not its size. */
bool freeList(int count, Sm_AgentApi_Attribute_t *list);

/* Aborts when handle was given to UnInit; else whether it is a live agent.
 * Under agents.lock. */
bool liveHandle(void *handle, const char *function);

/* The same, taking the lock itself unless the calling thread asked about
 * this handle last and no agent has changed since. */
bool handleState(void *handle, const char *function);

bool expired(const Session &s, long t);
Attrs tokenAttributes(const Session &s);

} // namespace smagent

#endif
