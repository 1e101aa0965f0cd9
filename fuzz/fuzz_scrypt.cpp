/*
 * fuzz_scrypt.cpp - the password scrambling.
 *
 * Checks: scrambling keeps the length and every byte that is not an ASCII
 * letter or digit, and puts a letter or digit wherever there was one; in
 * place and into another buffer agree; unscrambling the result gives the
 * text back exactly when it holds at most 26 letters and digits (beyond
 * that, 32-bit wrap-around may change a character).
 */
#include <string.h>

#include "fuzzutil.h"
#include "scrypt.h"

static bool alnum(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string plain = fz::cString(data, size);
    size_t n = plain.size(), letters = 0;
    char *scrambled = (char *)malloc(n + 1);
    char *inPlace = strdup(plain.c_str());
    char *back = (char *)malloc(n + 1);

    scrypt(scrambled, plain.c_str(), true);
    scrypt(inPlace, inPlace, true);
    FZ_CHECK(memcmp(scrambled, inPlace, n + 1) == 0, "in place differs");
    FZ_CHECK(strlen(scrambled) == n, "length changed");
    for (size_t i = 0; i < n; i++) {
        unsigned char p = (unsigned char)plain[i], s = (unsigned char)scrambled[i];
        if (alnum(p)) {
            letters++;
            FZ_CHECK(alnum(s), "position %zu: letter became %#x", i, s);
        } else {
            FZ_CHECK(s == p, "position %zu: %#x became %#x", i, p, s);
        }
    }

    scrypt(back, scrambled, false);
    FZ_CHECK(strlen(back) == n, "length changed on the way back");
    for (size_t i = 0; i < n; i++)
        FZ_CHECK(alnum((unsigned char)plain[i]) == alnum((unsigned char)back[i]),
                 "position %zu: kind changed on the way back", i);
    if (letters <= 26)
        FZ_CHECK(plain == back, "round trip of %zu letters and digits failed", letters);

    free(back);
    free(inPlace);
    free(scrambled);
    return 0;
}
