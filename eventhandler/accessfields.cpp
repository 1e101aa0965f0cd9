/*
 * accessfields.cpp - the record's texts and the audit row's columns (see
 * accessfields.h). Constant data, two accessors and the one function that
 * frees a record with its texts.
 */
#include "accessfields.h"

#include <stdlib.h>

#define FIELD(member) {offsetof(struct SmLog_Access_s, member), #member}

const struct AccessField accessFields[ACCESS_FIELD_COUNT] = {
    FIELD(szAgentName),     FIELD(szSessionId),        FIELD(szClientIp),
    FIELD(szUserName),      FIELD(szDomainOid),        FIELD(szRealmName),
    FIELD(szRealmOid),      FIELD(szAuthDirName),      FIELD(szAuthDirServer),
    FIELD(szAuthDirNamespace), FIELD(szServer),        FIELD(szResource),
    FIELD(szAction),        FIELD(szTransactionId),    FIELD(szStatusMsg),
};

#undef FIELD

/* Indexes into accessFields, for the column table below. */
enum {
    F_AGENT, F_SESSION, F_CLIENTIP, F_USER, F_DOMAIN, F_REALM, F_REALMOID, F_DIRNAME,
    F_DIRSERVER, F_DIRNAMESPACE, F_SERVER, F_RESOURCE, F_ACTION, F_TRANSACTION, F_STATUS
};

const struct AuditColumn auditColumns[AUDIT_COLUMN_COUNT] = {
    {"sm_categoryid", AUDIT_CATEGORY, -1},
    {"sm_eventid", AUDIT_EVENT, -1},
    {"sm_hostname", AUDIT_HOST, -1},
    {"sm_sessionid", AUDIT_FIELD, F_SESSION},
    {"sm_username", AUDIT_FIELD, F_USER},
    {"sm_agentname", AUDIT_FIELD, F_AGENT},
    {"sm_realmname", AUDIT_FIELD, F_REALM},
    {"sm_realmoid", AUDIT_FIELD, F_REALMOID},
    {"sm_clientip", AUDIT_FIELD, F_CLIENTIP},
    {"sm_domainoid", AUDIT_FIELD, F_DOMAIN},
    {"sm_authdirname", AUDIT_FIELD, F_DIRNAME},
    {"sm_authdirserver", AUDIT_FIELD, F_DIRSERVER},
    {"sm_authdirnamespace", AUDIT_FIELD, F_DIRNAMESPACE},
    {"sm_resource", AUDIT_FIELD, F_RESOURCE},
    {"sm_action", AUDIT_FIELD, F_ACTION},
    {"sm_reason", AUDIT_REASON, -1},
    {"sm_transactionid", AUDIT_FIELD, F_TRANSACTION},
};

char **accessFieldSlot(struct SmLog_Access_s *r, int i)
{
    return (char **)((char *)r + accessFields[i].offset);
}

const char *accessFieldText(const struct SmLog_Access_s *r, int i)
{
    return *(char *const *)((const char *)r + accessFields[i].offset);
}

void eventFree(struct SmLog_Access_s *copy)
{
    if (copy == NULL)
        return;
    for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
        free(*accessFieldSlot(copy, i));
    free(copy);
}
