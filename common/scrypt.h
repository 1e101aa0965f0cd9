/*
 * scrypt.h - keyed scrambling of the database password, so that it never
 * stands in clear in kelaudit.conf. Not a cipher: it keeps the password out
 * of casual sight, nothing more. (Unrelated to the key-derivation function
 * of the same name.)
 */
#ifndef KEL_SCRYPT_H
#define KEL_SCRYPT_H

/*
 * Scrambles (scramble true) or unscrambles (false) the NUL-terminated text
 * in into out, which must hold strlen(in) + 1 characters. out may be in
 * itself; otherwise the two must not overlap. ASCII letters and digits are
 * replaced by letters and digits; every other byte stays at its position.
 */
void scrypt(char *out, const char *in, bool scramble);

#endif
