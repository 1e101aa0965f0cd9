/*
 * fuzz_journal.cpp - a journal file of any bytes, walked as the database
 * writer and kelaudit walk it (journalRead, journalDecode).
 *
 * Checks: every step moves forward and the steps end exactly at the end
 * of the file; a record that decodes encodes back into the very same
 * bytes (so nothing in a decoded event comes from outside its record).
 */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "accessfields.h"
#include "fuzzutil.h"
#include "journal.h"

static std::string path;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    path = fz::scratch() + "/segment";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    struct JournalBuf buf = {NULL, 0};
    uint64_t offset = 0, length = 0;

    fz::writeBytes(path, data, size);
    int fd = open(path.c_str(), O_RDONLY);
    FZ_CHECK(fd >= 0, "cannot open the scratch file");
    for (;;) {
        int rc = journalRead(fd, offset, size, &buf, &length);
        if (rc == JOURNAL_END)
            break;
        FZ_CHECK(rc != JOURNAL_ERROR, "read error at %llu", (unsigned long long)offset);
        FZ_CHECK(length > 0 && length <= size - offset, "step of %llu at %llu", (unsigned long long)length,
                 (unsigned long long)offset);
        if (rc == JOURNAL_RECORD) {
            struct JournalEntry e;
            int noMemory;
            if (journalDecode(buf.data, length - JOURNAL_HEADER_SIZE, &e, &noMemory)) {
                size_t again = journalRecordSize(e.event, e.message);
                std::string out(again, '\0');
                journalEncode((unsigned char *)&out[0], again, e.type, e.stamp, e.event, e.message);
                FZ_CHECK(again == length && memcmp(out.data(), data + offset, again) == 0,
                         "record at %llu does not encode back", (unsigned long long)offset);
                journalEntryFree(&e);
            }
        }
        offset += length;
    }
    FZ_CHECK(offset == size, "stopped at %llu of %zu", (unsigned long long)offset, size);
    journalBufFree(&buf);
    close(fd);
    return 0;
}
