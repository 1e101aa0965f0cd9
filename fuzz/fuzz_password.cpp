/*
 * fuzz_password.cpp - the posted password field ("PIN;cookie"), split
 * into PIN and cookie, with a host message buffer of fuzzed size.
 *
 * Checks: the message stays inside its buffer (allocated to its exact
 * size) and terminated; a successful split gives back the posted text as
 * PIN, ";" and cookie, with no ";" in the PIN.
 */
#include <string.h>

#include "fuzzutil.h"
#include "smauthkel.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(10);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    /* First byte: the message buffer's size, -8..247. */
    int messageSize = (int)data[0] - 8;
    std::string posted = fz::cString(data + 1, size - 1);
    char *copy = strdup(posted.c_str());
    char *message = messageSize > 0 ? (char *)malloc((size_t)messageSize) : nullptr;
    static char pin[BUF_SIZE], cookie[BUF_SIZE];

    int ok = splitPassword(copy, pin, cookie, message, messageSize);
    FZ_CHECK(strnlen(pin, BUF_SIZE) < BUF_SIZE, "PIN not terminated");
    FZ_CHECK(strnlen(cookie, BUF_SIZE) < BUF_SIZE, "cookie not terminated");
    if (messageSize > 0)
        FZ_CHECK(strnlen(message, (size_t)messageSize) < (size_t)messageSize,
                 "message not terminated in %d characters", messageSize);
    if (ok) {
        FZ_CHECK(strchr(pin, ';') == nullptr, "';' in the PIN");
        FZ_CHECK(std::string(pin) + ";" + cookie == posted, "split does not give the text back");
        if (messageSize > 0)
            FZ_CHECK(message[0] == '\0', "message on success");
    } else {
        FZ_CHECK(cookie[0] == '\0', "cookie left after a failed split");
    }
    free(message);
    free(copy);
    return 0;
}
