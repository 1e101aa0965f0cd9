/*
 * fuzz_auditconf.cpp - kelaudit.conf as the event handler reads it at
 * each initialisation (written whole to a scratch SM_HOME).
 *
 * Checks: every text setting terminated in its buffer; the queue capacity
 * at least 1 and the retry delay not negative after the range checks.
 */
#include <string.h>

#include "fuzzutil.h"
#include "smeventkel.h"

static std::string confPath;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    confPath = fz::scratch() + "/home/config/kelaudit.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static struct Param p;

    fz::writeBytes(confPath, data, size);
    memset(&p, 0x55, sizeof p);
    readConfigFile(&p);
    FZ_CHECK(strnlen(p.dataSource, BUF_SIZE) < BUF_SIZE, "DATASOURCE not terminated");
    FZ_CHECK(strnlen(p.user, BUF_SIZE) < BUF_SIZE, "USER not terminated");
    FZ_CHECK(strnlen(p.password, BUF_SIZE) < BUF_SIZE, "PASSWORD not terminated");
    FZ_CHECK(strnlen(p.table, BUF_SIZE) < BUF_SIZE, "TABLE not terminated");
    FZ_CHECK(p.maxQueue >= 1, "MAX_QUEUE %d", p.maxQueue);
    FZ_CHECK(p.retryDelay >= 0, "RETRY_DELAY %d", p.retryDelay);
    return 0;
}
