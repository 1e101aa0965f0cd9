/*
 * charset.h - bound texts converted into the database's character set, as
 * a real client converts between its own character set and the database's
 * instead of refusing what does not fit. The client side is UTF-8.
 * Pure functions; no state.
 */
#ifndef KEL_OCI_CHARSET_H
#define KEL_OCI_CHARSET_H

#include <string>

namespace ocitext {

/* text with each ill-formed UTF-8 sequence (a stray byte, a cut sequence,
 * an overlong form, a surrogate, a value past U+10FFFF) replaced by one
 * U+FFFD, per maximal ill-formed part as Unicode recommends. */
std::string validUtf8(const std::string &text);

/* text is well-formed UTF-8 throughout (validUtf8 would keep it as it is). */
bool isValidUtf8(const char *text, size_t len);

/*
 * text (UTF-8, made valid first) in the PostgreSQL encoding named
 * (server_encoding/client_encoding names: "UTF8", "LATIN1", "WIN1252",
 * ...). A character the encoding lacks becomes "?". "SQL_ASCII" takes the
 * bytes as they are (the server checks nothing there); an encoding that
 * cannot be converted to here keeps ASCII and turns the rest into "?".
 */
std::string toEncoding(const std::string &text, const std::string &encoding);

} // namespace ocitext

#endif
