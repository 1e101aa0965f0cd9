/*
 * smauthkel.h - internals of the step-up authentication scheme: its
 * parameters, their parser, and the credential checks of a login.
 *
 * The policy server reaches the scheme only through the entry points of
 * smapi.h; these functions are for the scheme's own modules and its tests.
 * All of them work on the caller's records and buffers only and may run on
 * many threads at once.
 */
#ifndef SMAUTHKEL_H
#define SMAUTHKEL_H

#include "confsetting.h"
#include "kelcommon.h"
#include "smapi.h"

/* Version of the host's authentication scheme interface that the scheme
 * reports to the description query. */
#define API_VERSION 768

/* Characters of an unclear USE_PIN value shown in its trace line, plus 1. */
#define USE_PIN_SHOWN 64

/* Settings of one scheme instance, parsed from its parameter string (the
 * login path keeps clean parses, see paramcache.h). Texts hold at most
 * BUF_SIZE - 1 characters. */
typedef struct Parameters {
    char description[BUF_SIZE];   /* DESCRIPTION */
    char agentName[BUF_SIZE];     /* AGENT_NAME */
    char url[BUF_SIZE];           /* URL */
    int usePin;                   /* USE_PIN: 1 when the value is "yes" */
    /* USE_PIN held neither "yes" nor "no" (in any case): the check is off,
     * as written, and SmAuthInit says so with the value, cut to fit. */
    int usePinUnclear;
    char usePinValue[USE_PIN_SHOWN];
    int minLevel;                 /* MIN_LEVEL */
    int maxLevel;                 /* MAX_LEVEL */
    char attrPin[BUF_SIZE];       /* ATTR_PIN: user attribute holding the PIN */
    char attrAuth[BUF_SIZE];      /* ATTR_AUTH: user attribute holding the level */
    /* The agent's ports, authorization, authentication, accounting: they
     * stand together in this order. */
    int portAz;                   /* PORT_AZ */
    int portAuth;                 /* PORT_AUTH */
    int portAcct;                 /* PORT_ACCT */
    int pinTries;                 /* PIN_TRIES: wrong PINs in a row per session; 0: no limit */
} Parameters;

/* Fills p with the defaults and parses text ("NAME=value;NAME=value") into
 * it. Returns 1 when every item was well formed and stored and minLevel is
 * not above maxLevel; 0 otherwise, with p holding the defaults overlaid by
 * the items stored before parsing stopped. */
int parseParameters(const char *text, Parameters *p);

/* Stores one item. Returns 1, or 0 for an unknown name or a bad number. */
int storeParameter(const char *name, const char *value, Parameters *p);

/* Splits the posted "PIN;cookie" into pin and cookie (BUF_SIZE each). On
 * failure returns 0 and writes the reason into message, cut to fit
 * messageSize characters (nothing is written when messageSize is 0 or
 * less). Returns 1 when split. */
int splitPassword(const char *posted, char *pin, char *cookie, char *message, int messageSize);

/* 1 when the user's level attribute lies within minLevel..maxLevel. */
int checkAuthLevel(const Sm_Api_UserContext_t *ctx, const Parameters *p);

/* 1 when pin equals the user's stored PIN exactly; the comparison takes the
 * same time wherever the texts differ. */
int checkPin(const Sm_Api_UserContext_t *ctx, const char *pin, const Parameters *p);

/* Writes one user attribute to the trace at level; reads it only when a
 * line of that level would be written. */
void traceUserAttribute(int level, const Sm_Api_UserContext_t *ctx, const char *name);

/* Writes the user's attributes of interest to the trace. */
void traceUserAttributes(const Sm_Api_UserContext_t *ctx, const Parameters *p);

/* For tests: the number of initialisations not yet released. */
int smauthkelInitCount(void);

#endif
