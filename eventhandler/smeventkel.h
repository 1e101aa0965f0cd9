/*
 * smeventkel.h - the event handler's settings and event selection, shared
 * with the audit module (which reads param) and with the tests.
 */
#ifndef KEL_SMEVENTKEL_H
#define KEL_SMEVENTKEL_H

#include "confsetting.h"
#include "kelcommon.h"
#include "smapi.h"

/* Settings read from kelaudit.conf at each SmEventInit. */
struct Param {
    int minLevel;                /* lowest auth level audited */
    char dataSource[BUF_SIZE];   /* database connect string */
    char user[BUF_SIZE];         /* database user */
    char password[BUF_SIZE];     /* database password, in clear */
    char table[BUF_SIZE];        /* audit table */
    int maxQueue;                /* queue capacity, in events */
    int retryDelay;              /* seconds between database attempts */
    char spoolDir[PATH_SIZE];    /* the audit journal's folder; empty: none */
    int spoolSync;               /* enum SpoolSync of spool.h */
    int spoolMaxMb;              /* journal size beyond which events wait in memory */
    int rejectAfter;             /* data refusals before an event is put aside; 0: never */
    char rejectFile[PATH_SIZE];  /* where put-aside events go (derived, not a key) */
    char statusFile[PATH_SIZE];  /* the file for monitoring (status.h); empty: none */
};

/*
 * The settings in force. Written only while the database writer is not
 * running (see auditConfigure); minLevel, which the recording threads read
 * at any time, is written and read atomically (paramMinLevel).
 */
extern struct Param param;

/* The minimum auth level in force; safe from any thread. */
int paramMinLevel(void);

/* Fills next with the built-in defaults, then applies kelaudit.conf under
 * $SM_HOME; a missing SM_HOME or file leaves the defaults (traced). Values
 * the queue or the writer could not use are raised to the nearest usable
 * one (traced). next->password ends up in clear: the caller wipes it. */
void readConfigFile(struct Param *next);

/* The "authlevel" item of a transaction id ("name=value;..."); 0 when it
 * is missing or an item is malformed or too long (traced). */
int getAuthLevel(const char *transactionId);
/* Queues an accepted authentication whose auth level reaches the minimum;
 * ignores every other access event. Safe from any thread. */
void accessEvent(int category, int eventId, const struct SmLog_Access_s *record);
/* Traces a server's change of state; the record is not read. */
void systemEvent(int server, int state, const struct SmLog_System_s *record);

#endif
