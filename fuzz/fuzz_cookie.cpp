/*
 * fuzz_cookie.cpp - the attributes that a decoded session cookie carries,
 * as the scheme walks them: the input becomes the attribute list of a
 * session in the Agent API stand-in (that session holding nothing else),
 * whose token is then decoded by agentDecodeToken.
 *
 * Input: records of a 2-byte attribute id (a small range, so the known
 * ids come up often), a length byte and that many value bytes.
 * Checks: user name, DN, client IP and the session's texts terminated in
 * their buffers; every attribute list given back.
 */
#include <string.h>
#include <vector>

#include "agent.h"
#include "fuzzutil.h"
#include "smagent_control.h"

static void connect()
{
    Parameters p;
    smagentAddAgent("authkel", "s3cret");
    parseParameters("", &p);
    FZ_CHECK(agentInit("s3cret", &p) == 1, "agentInit");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    agentSetLibraryPath(AGENTAPI_PATH);
    connect();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> values;
    std::vector<int> ids;
    size_t pos = 0;
    while (pos + 3 <= size && ids.size() < 64) {
        int id = (int16_t)(data[pos] | data[pos + 1] << 8) % 400;
        size_t len = data[pos + 2];
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        /* Long values without a byte each in the input: a run of the
         * first byte, repeated, reaches past every buffer. */
        std::string v((const char *)data + pos, len);
        if (len > 0 && (uint8_t)v[0] == 0xff)
            v = std::string((size_t)len * 40, 'L');
        v = v.substr(0, v.find('\0'));
        pos += len;
        ids.push_back(id);
        values.push_back(v);
    }
    std::vector<SmAgentCtl_Attr_t> extras;
    for (size_t i = 0; i < ids.size(); i++)
        extras.push_back({ids[i], values[i].c_str()});

    SmAgentCtl_Session_t request = {"uid=jdoe", "jdoe", "10.1.2.3", 0, 0, (int)extras.size(),
                                   extras.data(), 1};
    char cookie[64];
    FZ_CHECK(smagentCreateSession(&request, cookie, sizeof cookie) == 1, "session not created");

    Sm_AgentApi_Session_t session;
    memset(&session, 0x55, sizeof session);
    static char userName[BUF_SIZE], userDn[BUF_SIZE], clientIp[BUF_SIZE];
    memset(userName, 0x55, sizeof userName);
    memset(userDn, 0x55, sizeof userDn);
    memset(clientIp, 0x55, sizeof clientIp);
    userName[0] = userDn[0] = clientIp[0] = '\0';

    FZ_CHECK(agentDecodeToken(cookie, &session, userName, userDn, clientIp) == 1, "not decoded");
    FZ_CHECK(strnlen(userName, BUF_SIZE) < BUF_SIZE, "user name not terminated");
    FZ_CHECK(strnlen(userDn, BUF_SIZE) < BUF_SIZE, "user DN not terminated");
    FZ_CHECK(strnlen(clientIp, BUF_SIZE) < BUF_SIZE, "client IP not terminated");
    FZ_CHECK(smagentOpenLists() == 0, "attribute list not given back");
    FZ_CHECK(smagentBadFrees() == 0, "bad free of an attribute list");

    /* The stand-in keeps every session; starting afresh after each input
     * keeps the allocations of a run balanced, so the fuzzer's leak check
     * stays quiet unless something really leaks. */
    agentRelease();
    smagentReset();
    connect();
    return 0;
}
