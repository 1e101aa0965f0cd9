/*
 * smeventkel.h - the event handler's settings and event selection, shared
 * with the audit module (which reads param) and with the tests.
 */
#ifndef KEL_SMEVENTKEL_H
#define KEL_SMEVENTKEL_H

#include "auditconf.h"
#include "confsetting.h"
#include "kelcommon.h"
#include "smapi.h"

/*
 * The settings in force, read from kelaudit.conf (auditconf.h) at each
 * SmEventInit. Written only while the database writer is not running (see
 * auditConfigure); minLevel, which the recording threads read at any
 * time, is written and read atomically (paramMinLevel).
 */
extern struct Param param;

/* The minimum auth level in force; safe from any thread. */
int paramMinLevel(void);

/* The "authlevel" item of a transaction id ("name=value;..."); 0 when it
 * is missing or an item is malformed or too long (traced). */
int getAuthLevel(const char *transactionId);
/* Queues an accepted authentication whose auth level reaches the minimum;
 * ignores every other access event. Safe from any thread. */
void accessEvent(int category, int eventId, const struct SmLog_Access_s *record);
/* Traces a server's change of state; the record is not read. */
void systemEvent(int server, int state, const struct SmLog_System_s *record);

#endif
