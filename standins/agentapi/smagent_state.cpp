/*
 * smagent_state.cpp - the stand-in's state and the helpers its Agent API
 * functions and control interface share (see smagent_state.h for how it is
 * locked).
 */
#include "smagent_state.h"

#include <random>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

namespace smagent {

Shard shards[SHARDS];
ListShard listShards[SHARDS];
Agents agents;
Control control;
CallCounts calls[COUNTER_LINES];
std::atomic<int> forcedCount{0};
std::atomic<int> badFrees{0};
std::atomic<long> tokenSeq{0};
std::atomic<bool> clockFrozen{false};
std::atomic<long> frozenTime{0};

long now()
{
    return clockFrozen.load() ? frozenTime.load() : (long)time(NULL);
}

static std::atomic<int> threadsCounting{0};

static CallCounts &myCounts()
{
    static thread_local int line = threadsCounting++ % COUNTER_LINES;
    return calls[line];
}

int callCount(int fn)
{
    int n = 0;
    for (CallCounts &c : calls)
        n += c.n[fn].load();
    return n;
}

void countFree()
{
    myCounts().n[SMAGENT_FN_FREE].fetch_add(1, std::memory_order_relaxed);
}

bool countCall(int fn, int *code)
{
    myCounts().n[fn].fetch_add(1, std::memory_order_relaxed);
    if (forcedCount.load() == 0)
        return false;
    std::lock_guard<std::mutex> guard(control.lock);
    Forced &f = control.forced[fn];
    if (f.times == 0)
        return false;
    if (f.times > 0 && --f.times == 0)
        forcedCount--;
    *code = f.code;
    return true;
}

std::string boundedText(const char *text, size_t size)
{
    return text == NULL ? std::string() : std::string(text, strnlen(text, size));
}

void copyOut(const std::string &text, char *buf, int size)
{
    if (buf == NULL || size <= 0)
        return;
    size_t n = text.size() < (size_t)size - 1 ? text.size() : (size_t)size - 1;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

/* From the kernel, which any thread may ask at once; the system's random
 * source of the C++ library should the kernel give less. */
std::string randomHex(int bytes)
{
    static const char hex[] = "0123456789abcdef";
    unsigned char raw[64];
    std::string out;

    if (bytes > (int)sizeof raw)
        bytes = (int)sizeof raw;
    if (getrandom(raw, (size_t)bytes, 0) != bytes) {
        static std::mutex sourceLock;
        static std::random_device source;
        std::lock_guard<std::mutex> guard(sourceLock);
        for (int i = 0; i < bytes; i++)
            raw[i] = (unsigned char)source();
    }
    for (int i = 0; i < bytes; i++) {
        out += hex[raw[i] >> 4];
        out += hex[raw[i] & 0xf];
    }
    return out;
}

static int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

Shard &shardOf(const std::string &key)
{
    int hi = key.size() >= 2 ? hexDigit(key[0]) : -1, lo = key.size() >= 2 ? hexDigit(key[1]) : -1;

    /* Any other text is no token or id of ours: any shard finds nothing. */
    if (hi < 0 || lo < 0)
        return shards[0];
    return shards[(hi * 16 + lo) % SHARDS];
}

static ListShard &listShardOf(const Sm_AgentApi_Attribute_t *list)
{
    return listShards[((uintptr_t)list >> 4) % SHARDS];
}

Sm_AgentApi_Attribute_t *newList(const Attrs &attrs)
{
    size_t n = attrs.size();
    Sm_AgentApi_Attribute_t *list =
        (Sm_AgentApi_Attribute_t *)calloc(n == 0 ? 1 : n, sizeof(Sm_AgentApi_Attribute_t));

    if (list == NULL)
        return NULL;
    for (size_t i = 0; i < n; i++) {
        list[i].id = attrs[i].first;
        list[i].length = (int32_t)attrs[i].second.size();
        list[i].value = strdup(attrs[i].second.c_str());
    }
    ListShard &ls = listShardOf(list);
    std::lock_guard<std::mutex> guard(ls.lock);
    ls.open[list] = (int)n;
    return list;
}

bool freeList(int count, Sm_AgentApi_Attribute_t *list)
{
    ListShard &ls = listShardOf(list);
    int n;
    {
        std::lock_guard<std::mutex> guard(ls.lock);
        auto it = ls.open.find(list);
        if (it == ls.open.end())
            return false; /* not ours, or freed twice: leave it alone */
        n = it->second;
        ls.open.erase(it);
    }
    for (int i = 0; i < n; i++)
        free(list[i].value);
    free(list);
    return n == count;
}

static void refuseReleased(void *handle, const char *function)
{
    if (handle == NULL || agents.released.count((Agent *)handle) == 0)
        return;
    fprintf(stderr, "libsmagentapi stand-in: %s called with an agent handle already given to "
                    "Sm_AgentApi_UnInit\n", function);
    abort();
}

bool liveHandle(void *handle, const char *function)
{
    refuseReleased(handle, function);
    return handle != NULL && agents.live.count((Agent *)handle) != 0;
}

bool handleState(void *handle, const char *function)
{
    /* A released handle aborts, so only answers for others are kept. */
    static thread_local void *lastHandle = NULL;
    static thread_local long lastVersion = -1;
    static thread_local bool lastLive = false;

    if (handle == lastHandle && agents.version.load() == lastVersion)
        return lastLive;
    std::shared_lock<std::shared_mutex> guard(agents.lock);
    lastLive = liveHandle(handle, function);
    lastHandle = handle;
    lastVersion = agents.version.load();
    return lastLive;
}

bool expired(const Session &s, long t)
{
    if (s.idleTimeout > 0 && t - s.lastTime > s.idleTimeout)
        return true;
    if (s.maxTimeout > 0 && t - s.startTime > s.maxTimeout)
        return true;
    return false;
}

Attrs tokenAttributes(const Session &s)
{
    Attrs attrs;

    if (!s.extrasOnly) {
        attrs.emplace_back(SM_AGENTAPI_ATTR_STARTSESSIONTIME, std::to_string(s.startTime));
        attrs.emplace_back(SM_AGENTAPI_ATTR_LASTSESSIONTIME, std::to_string(s.lastTime));
        attrs.emplace_back(SM_AGENTAPI_ATTR_SESSIONID, s.sessionId);
        attrs.emplace_back(SM_AGENTAPI_ATTR_CLIENTIP, s.clientIp);
        attrs.emplace_back(SM_AGENTAPI_ATTR_SESSIONSPEC, s.sessionSpec);
        attrs.emplace_back(SM_AGENTAPI_ATTR_USERNAME, s.userName);
        attrs.emplace_back(SM_AGENTAPI_ATTR_USERDN, s.userDn);
        attrs.emplace_back(SM_AGENTAPI_ATTR_IDLESESSIONTIMEOUT, std::to_string(s.idleTimeout));
        attrs.emplace_back(SM_AGENTAPI_ATTR_MAXSESSIONTIMEOUT, std::to_string(s.maxTimeout));
    }
    attrs.insert(attrs.end(), s.extras.begin(), s.extras.end());
    return attrs;
}

} // namespace smagent
