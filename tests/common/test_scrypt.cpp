/*
 * test_scrypt.cpp - the password scrambling: known vectors, round trips and
 * the 32-bit wrap-around.
 */
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scrypt.h"

namespace {

std::string run(const std::string &in, bool scramble)
{
    std::vector<char> out(in.size() + 1, '\x7f');
    scrypt(out.data(), in.c_str(), scramble);
    return std::string(out.data());
}

std::string inPlace(const std::string &in, bool scramble)
{
    std::vector<char> buf(in.begin(), in.end());
    buf.push_back('\0');
    scrypt(buf.data(), buf.data(), scramble);
    return std::string(buf.data());
}

/* Vectors worked out from the transform with the built-in key table. A
 * change here means stored passwords no longer unscramble. */
TEST(Scrypt, KnownVectors)
{
    EXPECT_EQ("v", run("A", true));
    EXPECT_EQ("38", run("AB", true));
    EXPECT_EQ("4-8", run("A-B", true));
    EXPECT_EQ("qPEiAjN", run("wuvemta", true));
    EXPECT_EQ("qDu9Xr-emyP vA!", run("Secret-Pass 42!", true));
    EXPECT_EQ("wuvemta", run("qPEiAjN", false));
}

TEST(Scrypt, EmptyAndNonAlphanumericTextsUnchanged)
{
    for (const char *t : {"", "-", "  !?", "\t;#=", "\x80\xff\xe9"}) {
        EXPECT_EQ(t, run(t, true));
        EXPECT_EQ(t, run(t, false));
    }
}

TEST(Scrypt, HighBytesCountAsOnePositionEach)
{
    /* The e-acute byte stays, and shifts the key of what stands left of it. */
    std::string s = run("caf\xe9", true);
    EXPECT_EQ("6oL\xe9", s);
    EXPECT_EQ("caf\xe9", run(s, false));
}

TEST(Scrypt, InPlaceEqualsSeparateBuffer)
{
    for (const char *t : {"wuvemta", "Secret-Pass 42!", "a", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"}) {
        EXPECT_EQ(run(t, true), inPlace(t, true));
        EXPECT_EQ(run(t, false), inPlace(t, false));
    }
}

TEST(Scrypt, SuffixPropertyAndKeyShift)
{
    /* The scrambled text ends with the scrambled form of each suffix. */
    std::string full = run("xsecret", true);
    EXPECT_EQ(run("secret", true), full.substr(1));
    EXPECT_EQ("Mdz2ZM", run("secret", true));
    /* A hyphen keeps what is right of it, and shifts the key of the rest. */
    std::string hyphen = run("x-secret", true);
    EXPECT_EQ("s-Mdz2ZM", hyphen);
    EXPECT_NE(full.substr(0, 1), hyphen.substr(0, 1));
}

TEST(Scrypt, ShortTextsRoundTrip)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -_.!#\t\x80\xfe";
    std::mt19937 rng(12345);
    for (int n = 0; n < 2000; n++) {
        std::string t;
        int letters = 0;
        while (letters < 26 && t.size() < 40) {
            char c = alphabet[rng() % (sizeof alphabet - 1)];
            t += c;
            if (isalnum((unsigned char)c) && (unsigned char)c < 128)
                letters++;
            if (rng() % 8 == 0)
                break;
        }
        std::string s = run(t, true);
        ASSERT_EQ(t.size(), s.size());
        for (size_t i = 0; i < t.size(); i++) {
            bool alnum = (unsigned char)t[i] < 128 && isalnum((unsigned char)t[i]);
            if (alnum)
                EXPECT_TRUE((unsigned char)s[i] < 128 && isalnum((unsigned char)s[i]));
            else
                EXPECT_EQ(t[i], s[i]);
        }
        ASSERT_EQ(t, run(s, false)) << "text " << t;
    }
}

TEST(Scrypt, LongTextsFollowTheWrapAroundRule)
{
    /* Past 26 letters the chaining value wraps. Here the wrapped sum at the
     * sixth character lands 38 above the most negative 32-bit value, where
     * unscrambling cannot tell it apart: that character and those left of
     * it come back as others. Everything right of it comes back. */
    const std::string t = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
    std::string s = run(t, true);
    EXPECT_EQ("x0z43iEPUCdRMIN7g2WfdqPmPomBsOJHm0jnWsWfdqPmPo", s);
    std::string back = run(s, false);
    EXPECT_EQ("efghibghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ", back);
    EXPECT_EQ(t.substr(6), back.substr(6));

    /* Long random texts come back whole (the exception needs a sum within
     * 64 of the bound: about one chance in 2^26 per character). */
    std::mt19937 rng(777);
    for (int n = 0; n < 300; n++) {
        std::string r;
        size_t len = 27 + rng() % 200;
        for (size_t i = 0; i < len; i++)
            r += (char)("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-"[rng() % 63]);
        ASSERT_EQ(r, run(run(r, true), false));
    }
}

} // namespace
