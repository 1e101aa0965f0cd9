/*
 * paramcache.h - the scheme's parameter string, parsed once per distinct
 * string for the login path.
 */
#ifndef KEL_PARAMCACHE_H
#define KEL_PARAMCACHE_H

#include "smauthkel.h"

/*
 * The settings of the parameter string text: a kept parse when the string
 * has parsed cleanly before and the trace level is below 5, else a fresh
 * parse into scratch (with its trace lines, as parseParameters writes
 * them). NULL when the string is faulty. The result is read-only and stays
 * valid until the library is unloaded. Safe from any thread; takes no lock
 * when the string is kept.
 */
const Parameters *paramsFor(const char *text, Parameters *scratch);

#endif
