/*
 * charset.cpp - bound texts into the database's character set (see
 * charset.h): UTF-8 made valid by hand (the replacement rule is Unicode's),
 * every other encoding through iconv.
 */
#include "charset.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <string.h>

namespace ocitext {

namespace {

const char REPLACEMENT[] = "\xef\xbf\xbd"; /* U+FFFD */

/* Length of the well-formed sequence that starts with lead, and the range
 * its second byte must lie in (Unicode, table 3-7); 0 for a byte that
 * cannot start one. */
int sequenceOf(unsigned char lead, unsigned char *lo, unsigned char *hi)
{
    *lo = 0x80;
    *hi = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf)
        return 2;
    if (lead >= 0xe0 && lead <= 0xef) {
        if (lead == 0xe0)
            *lo = 0xa0; /* no overlong forms */
        if (lead == 0xed)
            *hi = 0x9f; /* no surrogates */
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        if (lead == 0xf0)
            *lo = 0x90;
        if (lead == 0xf4)
            *hi = 0x8f; /* nothing past U+10FFFF */
        return 4;
    }
    return 0;
}

/* The character at text[i]: its length when it is well formed (1 for
 * ASCII); 0 when it is not, with *bad the length of its maximal ill-formed
 * part (the longest start of a well-formed sequence, at least 1), which
 * one U+FFFD replaces. */
size_t charAt(const char *text, size_t len, size_t i, size_t *bad)
{
    unsigned char lead = (unsigned char)text[i];
    unsigned char lo, hi;
    int n;
    size_t j;

    if (lead < 0x80)
        return 1;
    n = sequenceOf(lead, &lo, &hi);
    /* The longest start of a well-formed sequence: lead, then bytes in
     * range (the second one in its own range). */
    for (j = 1; n > 0 && j < (size_t)n && i + j < len; j++) {
        unsigned char c = (unsigned char)text[i + j];
        if (c < (j == 1 ? lo : 0x80) || c > (j == 1 ? hi : 0xbf))
            break;
    }
    if (n > 0 && j == (size_t)n)
        return j;
    *bad = j;
    return 0;
}

/* PostgreSQL's encoding names and iconv's for the same character set. */
const struct {
    const char *pg, *iconv;
} ENCODINGS[] = {
    {"LATIN1", "ISO-8859-1"},   {"LATIN2", "ISO-8859-2"},     {"LATIN3", "ISO-8859-3"},
    {"LATIN4", "ISO-8859-4"},   {"LATIN5", "ISO-8859-9"},     {"LATIN6", "ISO-8859-10"},
    {"LATIN7", "ISO-8859-13"},  {"LATIN8", "ISO-8859-14"},    {"LATIN9", "ISO-8859-15"},
    {"LATIN10", "ISO-8859-16"}, {"ISO_8859_5", "ISO-8859-5"}, {"ISO_8859_6", "ISO-8859-6"},
    {"ISO_8859_7", "ISO-8859-7"}, {"ISO_8859_8", "ISO-8859-8"}, {"WIN866", "CP866"},
    {"WIN874", "CP874"},        {"WIN1250", "CP1250"},        {"WIN1251", "CP1251"},
    {"WIN1252", "CP1252"},      {"WIN1253", "CP1253"},        {"WIN1254", "CP1254"},
    {"WIN1255", "CP1255"},      {"WIN1256", "CP1256"},        {"WIN1257", "CP1257"},
    {"WIN1258", "CP1258"},      {"KOI8R", "KOI8-R"},          {"KOI8U", "KOI8-U"},
    {"EUC_JP", "EUC-JP"},       {"EUC_CN", "EUC-CN"},         {"EUC_KR", "EUC-KR"},
    {"EUC_TW", "EUC-TW"},       {"EUC_JIS_2004", "EUC-JISX0213"}, {"SJIS", "SHIFT_JIS"},
    {"SHIFT_JIS_2004", "SHIFT_JISX0213"}, {"BIG5", "BIG5"}, {"GBK", "GBK"},
    {"GB18030", "GB18030"},     {"UHC", "CP949"},             {"JOHAB", "JOHAB"},
};

const char *iconvName(const std::string &encoding)
{
    for (const auto &e : ENCODINGS)
        if (encoding == e.pg)
            return e.iconv;
    return nullptr;
}

/* Valid UTF-8 with every character outside ASCII as "?". */
std::string asciiOnly(const std::string &valid)
{
    std::string out;
    for (size_t i = 0; i < valid.size(); i++) {
        unsigned char c = (unsigned char)valid[i];
        if (c < 0x80)
            out += (char)c;
        else if ((c & 0xc0) != 0x80)
            out += '?'; /* one per character: its lead byte */
    }
    return out;
}

/* Valid UTF-8 through iconv; a character the target lacks becomes "?". */
bool convert(iconv_t cd, const std::string &valid, std::string &out)
{
    std::string buf(valid.size() * 2 + 16, '\0');
    char *in = const_cast<char *>(valid.data());
    size_t inLeft = valid.size();
    size_t used = 0;

    /* Then one call without input, which ends a stateful encoding's shift. */
    bool ending = valid.empty();
    for (;;) {
        if (buf.size() - used < 8)
            buf.resize(buf.size() * 2);
        char *to = &buf[used];
        size_t outLeft = buf.size() - used;
        size_t rc = ending ? iconv(cd, nullptr, nullptr, &to, &outLeft)
                           : iconv(cd, &in, &inLeft, &to, &outLeft);
        int err = errno;
        used = buf.size() - outLeft;
        if (rc != (size_t)-1) {
            if (ending)
                break;
            ending = inLeft == 0;
            continue;
        }
        if (err == E2BIG) {
            buf.resize(buf.size() * 2);
        } else if (err == EILSEQ && !ending) {
            unsigned char lo, hi;
            int n = sequenceOf((unsigned char)*in, &lo, &hi);
            size_t skip = n > 0 && (size_t)n <= inLeft ? (size_t)n : 1;
            buf[used++] = '?';
            in += skip;
            inLeft -= skip;
            ending = inLeft == 0;
        } else {
            return false;
        }
    }
    buf.resize(used);
    out.swap(buf);
    return true;
}

} // namespace

std::string validUtf8(const std::string &text)
{
    std::string out;
    size_t i = 0;

    out.reserve(text.size());
    while (i < text.size()) {
        size_t bad;
        size_t n = charAt(text.data(), text.size(), i, &bad);
        if (n > 0) {
            out.append(text, i, n);
            i += n;
        } else {
            out += REPLACEMENT;
            i += bad;
        }
    }
    return out;
}

bool isValidUtf8(const char *text, size_t len)
{
    size_t i = 0;

    while (i < len) {
        uint64_t eight;
        size_t bad;
        /* ASCII, eight bytes at a time: the common case. */
        if (len - i >= 8) {
            memcpy(&eight, text + i, 8);
            if ((eight & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        size_t n = charAt(text, len, i, &bad);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string toEncoding(const std::string &text, const std::string &encoding)
{
    if (encoding == "SQL_ASCII")
        return text;
    std::string valid = validUtf8(text);
    if (encoding == "UTF8")
        return valid;
    const char *name = iconvName(encoding);
    iconv_t cd = name != nullptr ? iconv_open(name, "UTF-8") : (iconv_t)-1;
    if (cd == (iconv_t)-1)
        return asciiOnly(valid);
    std::string out;
    bool ok = convert(cd, valid, out);
    iconv_close(cd);
    return ok ? out : asciiOnly(valid);
}

} // namespace ocitext
