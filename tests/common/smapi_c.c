/* The host interface header must compile as C: a host written in C
 * includes it. This file is compiled by the C compiler. */
#include "smapi.h"

int smapiCompilesAsC(void)
{
    Sm_Api_UserContext_t ctx = {0};
    struct SmLog_Access_s ev = {0};
    return ctx.bIsUserContext + ev.nReason + SM_AUTH_RESULT(SM_AUTH_REJECT, SM_REASON_AUTH_LEVEL);
}
