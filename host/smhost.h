/*
 * smhost.h - the simulated policy server: it loads the two plug-ins by name
 * and drives them through their entry points the way a policy server does,
 * with a user directory of its own and sessions in the Agent API stand-in.
 */
#ifndef KEL_SMHOST_H
#define KEL_SMHOST_H

#include <map>
#include <string>
#include <vector>

#include "kelcommon.h"
#include "smapi.h"

struct pg_conn;
struct sqlite3;

namespace smhost {

/* Where the installation's pieces are, found from the program's own path:
 * <prefix>/bin/smhost, <prefix>/lib/<plug-ins>, <prefix>/bin/kelpasswd,
 * <prefix>/lib/standins/<stand-ins> (in the build tree: beside the
 * plug-ins). */
struct Layout {
    std::string binDir;
    std::string libDir;
    std::string sqlDir;
    std::string standinDir;
};
Layout findLayout(const std::string &libDirOverride);

/* The entry points of both plug-ins. */
struct Plugins {
    void *auth = nullptr;
    void *event = nullptr;
    decltype(&SmAuthQuery) authQuery = nullptr;
    decltype(&SmAuthInit) authInit = nullptr;
    decltype(&SmAuthenticate) authenticate = nullptr;
    decltype(&SmAuthRelease) authRelease = nullptr;
    decltype(&SmEventInit) eventInit = nullptr;
    decltype(&SmEventRelease) eventRelease = nullptr;
    decltype(&SmEventRecord) eventRecord = nullptr;
};
/* Loads libsmauthkel.so and libsmeventkel.so from libDir. On failure
 * returns false with the reason in error. */
bool loadPlugins(const std::string &libDir, Plugins &p, std::string &error);
void unloadPlugins(Plugins &p);

/*
 * The stand-ins of the Agent API and the Oracle client, which demo and
 * load need and check never touches. smhost is not linked against them:
 * on a policy server host the check must run where they are absent. demo
 * and load open both from the layout's stand-in folder before they load
 * the plug-ins, whose dlopen by name then finds them already loaded; the
 * Agent API stand-in's control functions come through this table.
 */
struct StandinControl {
    void (*reset)(void) = nullptr;
    int (*addAgent)(const char *name, const char *secret) = nullptr;
    int (*createSession)(const struct SmAgentCtl_Session_s *request, char *cookie, int cookieSize) = nullptr;
    void (*advanceTime)(long seconds) = nullptr;
};
extern StandinControl standin;
/* Opens both stand-ins and fills standin; false with the path and the
 * loader's reason in error. */
bool loadStandins(const Layout &l, std::string &error);

/* A user of the directory. */
struct User {
    std::string dn;
    int level = 0;
    std::string pin;
    std::map<std::string, std::string> attrs;
};

/* Reads users from a file: one per line, "dn | level | PIN | name=value |
 * ...", "#" lines and blank lines skipped. Returns false with the reason
 * (file and line) in error. */
bool readUsers(const std::string &path, std::vector<User> &users, std::string &error);
std::vector<User> builtinUsers();

/* A user context for SmAuthenticate whose attribute getter reads user. */
struct UserContext {
    explicit UserContext(const User &user, bool identified);
    Sm_Api_UserContext_t ctx{};

private:
    std::string sessionId_;
};

/* The audit table: create it, count and read rows. */
struct AuditDb {
    std::string dataSource;   /* SQLite file (absolute) or PostgreSQL URI */
    std::string user, password;
    std::string table = "smaccesslog4";
};
bool isPostgres(const std::string &dataSource);
/* Creates the table from the DDL of sqlDir (SQLite: creating the file),
 * unless a table of that name exists already. */
bool createAuditTable(const AuditDb &db, const std::string &sqlDir, std::string &error);
/* Rows whose transaction id starts with prefix: (user name, transaction id)
 * in insertion order; false with the reason on a database error, *lasting
 * (when given) set when trying again cannot help: a right the database
 * user lacks, a file that cannot be opened. A missing table or a lost
 * connection may pass (an outage), so they are not lasting. */
bool readAuditRows(const AuditDb &db, const std::string &prefix,
                   std::vector<std::pair<std::string, std::string>> &rows, std::string &error,
                   bool *lasting = nullptr);

/* Counts the rows whose transaction id starts with prefix while a writer
 * adds them: each poll reads only the rows above the highest id it has
 * seen (through the id's index), on a connection kept open, so polling
 * costs the database little however large the table is. A writer commits
 * its rows in id order, so none is passed over. */
class AuditRowCounter {
public:
    AuditRowCounter(const AuditDb &db, const std::string &prefix) : db_(db), prefix_(prefix) {}
    ~AuditRowCounter();
    AuditRowCounter(const AuditRowCounter &) = delete;
    AuditRowCounter &operator=(const AuditRowCounter &) = delete;
    /* Adds the new rows to count; false on a database error (the
     * connection is then opened again at the next poll). */
    bool poll(long &count);

private:
    AuditDb db_;
    std::string prefix_;
    long after_ = 0;
    ::pg_conn *pg_ = nullptr;
    ::sqlite3 *lite_ = nullptr;
    void close();
};

/* How smhost load marks its rows: the transaction id starts with
 * "authlevel=N;run=ID;" and goes on with "thread=T;seq=S". */
extern const char *const LOAD_ROW_PATTERN;
/* Counts the rows of the table that smhost load did not write (at most a
 * few: it stops counting early). false with the reason on a database error. */
bool otherAuditRows(const AuditDb &db, long &count, std::string &error);

/* An access record for an accepted login, holding its own texts. */
struct AccessEvent {
    AccessEvent(const User &user, const std::string &sessionId, const std::string &transactionId);
    SmLog_Access_s rec{};

private:
    std::vector<std::string> texts_;
};

/* Runs kelpasswd (beside smhost) for SM_HOME home; true when it set the
 * password. */
bool runKelpasswd(const Layout &l, const std::string &home, const std::string &password);

/* Writes a file, creating it private to the owner. */
bool writePrivateFile(const std::string &path, const std::string &content, std::string &error);

/* The configuration files smhost writes into an SM_HOME start with
 * OWN_MARK; smhost never replaces a file without it. */
extern const char *const OWN_MARK;
enum class FileOwner { NONE, SMHOST, ADMIN };
/* NONE when the file is not there, SMHOST when it starts with OWN_MARK. */
FileOwner fileOwner(const std::string &path);
/* Writes OWN_MARK and content, private to the owner; refuses (false with
 * the reason) a file that smhost did not write. */
bool writeOwnFile(const std::string &path, const std::string &content, std::string &error);
/* Makes SM_HOME (given, or a fresh folder under TMPDIR) with config/ for
 * keltrace.conf and kelaudit.conf, data/ for the SQLite database and log/
 * for the trace log. */
std::string makeHome(const std::string &given, std::string &error);

int runDemo(const std::vector<std::string> &args);
int runLoad(const std::vector<std::string> &args);
int runCheck(const std::vector<std::string> &args);

} // namespace smhost

#endif
