/*
 * scrypt.cpp - the password scrambling transform.
 *
 * The text is walked from its last character to its first. Each letter or
 * digit (a value 0..61) is combined with a key entry chosen by its distance
 * from the end and with a chaining value built from the plain characters to
 * its right, then multiplied by 13 modulo 62; unscrambling multiplies by 43,
 * the inverse of 13 modulo 62, and subtracts the same terms.
 *
 * The sums and the doubling of the chaining value are signed 32-bit
 * arithmetic that wraps around, as stored passwords depend on it. Signed
 * overflow is undefined in C++, so the wrapping is done in uint32_t and the
 * result converted back (two's complement on every target we build for).
 */
#include "scrypt.h"

#include <stdint.h>
#include <string.h>

#define KEY_SIZE 20

/* The deployment's key: kelpasswd and libsmeventkel are both built from
 * this one definition, so a text scrambled by one unscrambles in the other.
 * Changing it makes every stored password unreadable. */
static const int32_t key[KEY_SIZE] = {
    37, 8, 51, 22, 3, 60, 14, 45, 29, 11,
    56, 0, 33, 19, 48, 6, 27, 61, 40, 17,
};

static int32_t wrapAdd(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a + (uint32_t)b);
}

static int32_t wrapSub(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a - (uint32_t)b);
}

/* The residue 0..61 of a signed value (-1 gives 61). */
static int32_t mod62(int32_t x)
{
    int32_t r = x % 62;

    return r < 0 ? r + 62 : r;
}

/* Value 0..61 of an ASCII letter or digit, -1 for any other byte. */
static int32_t charValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return -1;
}

static char valueChar(int32_t v)
{
    if (v < 26)
        return (char)('A' + v);
    if (v < 52)
        return (char)('a' + (v - 26));
    return (char)('0' + (v - 52));
}

void scrypt(char *out, const char *in, bool scramble)
{
    size_t len = strlen(in);
    int32_t a = 0;
    int i = 0;

    if (out != in)
        memcpy(out, in, len + 1);

    for (size_t pos = len; pos-- > 0;) {
        int32_t v, r, plain;

        if (i == KEY_SIZE)
            i = 0;
        v = charValue((unsigned char)in[pos]);
        if (v < 0) {
            i++;
            continue;
        }
        if (scramble) {
            r = mod62(wrapAdd(wrapAdd(v, a), key[i]));
            out[pos] = valueChar((13 * r) % 62);
            plain = v;
        } else {
            r = mod62(wrapSub(mod62(43 * v), wrapAdd(a, key[i])));
            out[pos] = valueChar(r);
            plain = r;
        }
        a = wrapAdd(wrapAdd(a, a), plain);
        i++;
    }
}
