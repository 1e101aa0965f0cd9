/*
 * test_journal.cpp - the journal's files read back: records as written,
 * damage and torn appends skipped up to the next record that verifies,
 * the position file's two slots, the names of segments; fixed records of
 * the fuzz corpus, so the format on disk cannot change unnoticed.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "eventfixture.h"
#include "journal.h"
#include "testsupport.h"

#include <zlib.h>

namespace {

std::string encode(kt::Event &e, int type = JOURNAL_EVENT, const char *message = nullptr, int64_t stamp = 1700000000)
{
    size_t size = journalRecordSize(e.get(), message);
    std::string out(size, '\0');
    journalEncode((unsigned char *)&out[0], size, type, stamp, e.get(), message);
    return out;
}

/* What a reader sees walking a file: "R:<user>" for a record, "S<n>" for
 * n skipped bytes, "T<n>" for a tail of n bytes that is no record. */
std::vector<std::string> walk(const std::string &path)
{
    std::vector<std::string> seen;
    struct JournalBuf buf = {nullptr, 0};
    uint64_t offset = 0, length = 0;
    int fd = open(path.c_str(), O_RDONLY);
    uint64_t end = (uint64_t)lseek(fd, 0, SEEK_END);
    for (;;) {
        int rc = journalRead(fd, offset, end, &buf, &length);
        if (rc == JOURNAL_END || rc == JOURNAL_ERROR)
            break;
        if (rc == JOURNAL_RECORD) {
            JournalEntry e;
            int noMemory;
            if (journalDecode(buf.data, length - JOURNAL_HEADER_SIZE, &e, &noMemory)) {
                seen.push_back("R:" + std::string(e.event->szUserName));
                journalEntryFree(&e);
            } else {
                seen.push_back("bad");
            }
        } else {
            seen.push_back((rc == JOURNAL_SKIP ? "S" : "T") + std::to_string(length));
        }
        offset += length;
    }
    journalBufFree(&buf);
    close(fd);
    return seen;
}

TEST(Journal, RecordsReadBackAsWritten)
{
    kt::TempDir dir;
    kt::Event plain("uid=plain"), empty("uid=empty", ""), big("uid=big"), odd("uid=j\xc3\xbcrgen\n\t;="),
        rejected("uid=rejected", "authlevel=9", -7);
    for (int i = 0; i < 15; i++)
        if (i != 3)
            empty.text(i) = "";
    big.text(11) = std::string(100000, 'x');
    empty.record().nCurrentTime = -1;
    big.record().nVersion = 2147483647;
    const char *message = "SQLite error 275: CHECK constraint failed: sm_username <> 'bad'";
    kt::Event *events[] = {&plain, &empty, &big, &odd, &rejected};
    std::string file;
    for (kt::Event *e : events)
        file += encode(*e, e == &rejected ? JOURNAL_REJECTED : JOURNAL_EVENT, e == &rejected ? message : nullptr,
                       1700000123);
    kt::writeFile(dir / "seg", file);

    std::vector<JournalEntry> got;
    long damaged = 0;
    ASSERT_TRUE(journalForEach((dir / "seg").c_str(),
                               [](const JournalEntry *e, void *arg) {
                                   /* Kept past the call: the texts are moved out. */
                                   ((std::vector<JournalEntry> *)arg)->push_back(*e);
                                   const_cast<JournalEntry *>(e)->event = nullptr;
                                   const_cast<JournalEntry *>(e)->message = nullptr;
                                   return 1;
                               },
                               &got, &damaged));
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ(0, damaged);
    for (size_t n = 0; n < got.size(); n++) {
        kt::Event &want = *events[n];
        JournalEntry &e = got[n];
        EXPECT_EQ(&want == &rejected ? JOURNAL_REJECTED : JOURNAL_EVENT, e.type);
        EXPECT_EQ(1700000123, e.stamp);
        EXPECT_EQ(want.record().nVersion, e.event->nVersion);
        EXPECT_EQ(want.record().nCurrentTime, e.event->nCurrentTime);
        EXPECT_EQ(want.record().nReason, e.event->nReason);
        for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
            EXPECT_EQ(want.text(i), accessFieldText(e.event, i)) << n << " " << i;
        EXPECT_EQ(&want == &rejected ? message : "(none)", std::string(e.message ? e.message : "(none)"));
        journalEntryFree(&e);
    }
}

TEST(Journal, DamageIsSkippedUpToTheNextRecordThatVerifies)
{
    kt::Event a("a"), b("b"), c("c");
    const std::string ra = encode(a), rb = encode(b), rc = encode(c);
    const size_t A = ra.size(), B = rb.size(), C = rc.size();
    const std::string S = "S" + std::to_string(B), RA = "R:a", RB = "R:b", RC = "R:c";
    struct Case {
        const char *what;
        std::function<std::string()> file;
        std::vector<std::string> seen;
    } cases[] = {
        {"intact", [&] { return ra + rb + rc; }, {RA, RB, RC}},
        {"payload byte flipped", [&] { std::string f = ra + rb + rc; f[A + B - 3] ^= 0x20; return f; }, {RA, S, RC}},
        {"magic damaged", [&] { std::string f = ra + rb + rc; f[A] = 'X'; return f; }, {RA, S, RC}},
        {"length raised", [&] { std::string f = ra + rb + rc; f[A + 4] += 1; return f; }, {RA, S, RC}},
        {"length past the end", [&] { std::string f = ra + rb + rc; f[A + 7] = 0x7f; return f; }, {RA, S, RC}},
        {"checksum damaged", [&] { std::string f = ra + rb + rc; f[A + 9] ^= 1; return f; }, {RA, S, RC}},
        {"garbage between", [&] { return ra + "junk!" + rb + rc; }, {RA, "S5", RB, RC}},
        {"a magic in garbage", [&] { return ra + std::string("KAJ1xxxxxxxxxxxxxxxx") + rb; }, {RA, "S20", RB}},
        {"torn append", [&] { return ra + rb + rc.substr(0, C / 2); }, {RA, RB, "T" + std::to_string(C / 2)}},
        {"torn in the header", [&] { return ra + rb + rc.substr(0, 7); }, {RA, RB, "T7"}},
        {"zeros after the last", [&] { return ra + rb + std::string(4096, '\0'); }, {RA, RB, "T4096"}},
        {"first record damaged", [&] { std::string f = ra + rb; f[20] ^= 1; return f; }, {"S" + std::to_string(A), RB}},
        /* The scan reads 16 KB at a time: a record across the border of two. */
        {"long damage", [&] { return ra + std::string(16382, 'K') + rb; }, {RA, "S16382", RB}},
        {"longer damage", [&] { return ra + std::string(40000, 'K') + rb; }, {RA, "S40000", RB}},
        {"empty file", [&] { return std::string(); }, {}},
    };
    kt::TempDir dir;
    for (Case &c : cases) {
        kt::writeFile(dir / "seg", c.file());
        EXPECT_EQ(c.seen, walk(dir / "seg")) << c.what;
    }
}

TEST(Journal, PositionKeepsTheOlderSlotWhenTheNewerIsTorn)
{
    kt::TempDir dir;
    std::string path = dir / "position";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    JournalPosition p = {0, 0, 0}, got;
    EXPECT_EQ(0, journalPositionRead(fd, &got)); /* a new journal */
    EXPECT_EQ(0u, got.segment);
    for (uint64_t i = 1; i <= 3; i++) {
        p.segment = i;
        p.offset = i * 100;
        ASSERT_EQ(1, journalPositionWrite(fd, &p));
    }
    ASSERT_EQ(1, journalPositionRead(fd, &got));
    EXPECT_EQ(3u, got.segment);
    EXPECT_EQ(300u, got.offset);
    /* The newest (generation 3, slot 1) torn: the one before stands. */
    char junk = 0x55;
    ASSERT_EQ(1, pwrite(fd, &junk, 1, 32 + 20));
    ASSERT_EQ(1, journalPositionRead(fd, &got));
    EXPECT_EQ(2u, got.segment);
    EXPECT_EQ(200u, got.offset);
    ASSERT_EQ(1, pwrite(fd, &junk, 1, 20));
    EXPECT_EQ(0, journalPositionRead(fd, &got));
    close(fd);
}

TEST(Journal, OnlyExactSegmentNamesCount)
{
    char name[JOURNAL_NAME_SIZE];
    journalSegmentName(name, sizeof name, 0x2a);
    EXPECT_STREQ("seg-000000000000002a.kaj", name);
    struct {
        const char *name;
        int ok;
        uint64_t seq;
    } cases[] = {
        {"seg-000000000000002a.kaj", 1, 0x2a},
        {"seg-ffffffffffffffff.kaj", 1, ~0ull},
        {"seg-2a.kaj", 0, 0},
        {"seg-000000000000002A.kaj", 0, 0},
        {"seg-000000000000002a.kaj.tmp", 0, 0},
        {"seg-000000000000002a", 0, 0},
        {"requeue-1.kaj", 0, 0},
        {"position", 0, 0},
    };
    for (auto &c : cases) {
        uint64_t seq = 0;
        EXPECT_EQ(c.ok, journalSegmentNumber(c.name, &seq)) << c.name;
        if (c.ok) {
            EXPECT_EQ(c.seq, seq) << c.name;
        }
    }
    kt::TempDir dir;
    for (const char *f : {"seg-0000000000000003.kaj", "seg-0000000000000001.kaj", "seg-10.kaj", "lock",
                          "requeue-0000000000000002-1.kaj", "requeue-0000000000000001-9.kaj", "requeue-x.tmp"})
        kt::writeFile(dir / f, "");
    uint64_t *seqs = nullptr;
    size_t count = 0;
    ASSERT_EQ(1, journalListSegments(dir.path().c_str(), &seqs, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(1u, seqs[0]);
    EXPECT_EQ(3u, seqs[1]);
    free(seqs);
    char(*names)[JOURNAL_NAME_SIZE] = nullptr;
    ASSERT_EQ(1, journalListRequeued(dir.path().c_str(), &names, &count));
    ASSERT_EQ(2u, count);
    EXPECT_STREQ("requeue-0000000000000001-9.kaj", names[0]);
    free(names);
}

/* Records of the fuzz corpus, byte for byte: each decodes into the event
 * below and that event encodes into the same bytes, so neither the order
 * nor the width of a field can change in both directions unnoticed. */
TEST(Journal, GoldenRecordsDecodeAndEncodeToTheSameBytes)
{
    struct Case {
        const char *file;
        const char *user;
        int type;
        const char *message;
    } cases[] = {
        {"one", "uid=alice", JOURNAL_EVENT, nullptr},
        {"rejected", "uid=bad", JOURNAL_REJECTED, "SQLite error 275: CHECK constraint failed"},
    };
    for (const Case &c : cases) {
        std::string bytes = kt::readFile(std::string(KEL_JOURNAL_CORPUS) + "/" + c.file);
        kt::Event want(c.user, "authlevel=5");
        const char *texts[] = {"agent1", nullptr, "10.0.0.7", c.user, "domain", "realm", "realm-oid", "dir",
                               "ldap:389", "LDAP:", "www", "/page", "GET", "authlevel=5", "accepted"};
        for (int i = 0; i < 15; i++)
            if (texts[i] != nullptr)
                want.text(i) = texts[i];
        ASSERT_GT(bytes.size(), (size_t)JOURNAL_HEADER_SIZE) << c.file;
        JournalEntry e;
        int noMemory;
        ASSERT_TRUE(journalDecode((const unsigned char *)bytes.data() + JOURNAL_HEADER_SIZE,
                                  bytes.size() - JOURNAL_HEADER_SIZE, &e, &noMemory))
            << c.file;
        EXPECT_EQ(c.type, e.type) << c.file;
        EXPECT_EQ(1700000000, e.stamp) << c.file;
        EXPECT_EQ(1, e.event->nVersion) << c.file;
        EXPECT_EQ(1700000000, e.event->nCurrentTime) << c.file;
        EXPECT_EQ(0, e.event->nReason) << c.file;
        for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
            EXPECT_EQ(want.text(i), accessFieldText(e.event, i)) << c.file << " " << i;
        EXPECT_EQ(c.message ? c.message : "", std::string(e.message ? e.message : "")) << c.file;
        journalEntryFree(&e);
        EXPECT_EQ(bytes, encode(want, c.type, c.message, 1700000000)) << c.file;
    }
}

/* A record whose length and CRC cover more payload than its fields take
 * verifies, but is no record of this format: the decoder refuses it. */
TEST(Journal, TrailingBytesInAPayloadAreRefused)
{
    kt::Event e("uid=alice");
    const char *messages[] = {nullptr, "refused"};
    for (const char *message : messages) {
        std::string r = encode(e, message ? JOURNAL_REJECTED : JOURNAL_EVENT, message) + "x";
        uint32_t len = (uint32_t)(r.size() - JOURNAL_HEADER_SIZE);
        for (int i = 0; i < 4; i++)
            r[4 + i] = (char)(len >> (8 * i));
        uLong crc = crc32(crc32(0L, Z_NULL, 0), (const Bytef *)&r[4], 4);
        crc = crc32(crc, (const Bytef *)&r[JOURNAL_HEADER_SIZE], len);
        for (int i = 0; i < 4; i++)
            r[8 + i] = (char)((uint32_t)crc >> (8 * i));
        kt::TempDir dir;
        kt::writeFile(dir / "seg", r);
        EXPECT_EQ((std::vector<std::string>{"bad"}), walk(dir / "seg")) << (message ? message : "event");
    }
}

} // namespace
