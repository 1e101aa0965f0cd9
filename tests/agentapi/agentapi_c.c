/* The Agent API header and the stand-in's control header must compile as
 * C: a host written in C includes them. Compiled by the C compiler. */
#include "smagent_control.h"

int agentApiCompilesAsC(void)
{
    Sm_AgentApi_Session_t session = {0};
    Sm_AgentApi_Init_t init = {0};
    SmAgentCtl_Session_t request = {0};
    return session.idleTimeout + init.version + request.maxTimeout + SMAGENT_FN_COUNT;
}
