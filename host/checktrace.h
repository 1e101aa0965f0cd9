/*
 * checktrace.h - the trace module as `smhost check` and `smhost load` link
 * it: instead of writing the administrator's trace log, it keeps each
 * message with its level, so that the plug-ins' own configuration readers
 * (kelaudit.conf, the scheme's parameter string), linked into smhost, tell
 * smhost what they would have logged.
 *
 * It defines the functions of trace.h; smhost links this file and never the
 * trace module itself. Safe from any thread.
 */
#ifndef KEL_CHECKTRACE_H
#define KEL_CHECKTRACE_H

#include <string>
#include <utility>
#include <vector>

namespace smhost {

/* The messages traced since the last call, (level, text) in order; the
 * list starts empty again. */
std::vector<std::pair<int, std::string>> takeTraced();

} // namespace smhost

#endif
