// HTTP's wire text, in one place: the character classes and ASCII case-folding the grammar is written in,
// percent-decoding and query parameters, and the text of a reply's head (status line, date, framing fields,
// chunk sizes). No sockets and no state but the per-thread date.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ks_http_message.h"

namespace ks {
namespace server {

// RFC 9110 token characters: what a method and a field name are made of.
bool isTokenChar(unsigned char c);
bool isToken(std::string_view text);

// ASCII case-folding: letters only, whatever the locale.
char lowerAscii(char c);
std::string lowerCased(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Without leading and trailing spaces and tabs.
std::string_view trimmed(std::string_view text);
// The value of one hex digit (either case), or -1.
int hexValue(char c);

// %XX escapes decoded (and '+' as a space when `plusIsSpace`, as in a query); a '%' not followed by two hex
// digits stays as it is.
std::string percentDecoded(std::string_view text, bool plusIsSpace);
// Appends the decoded name=value pairs of a raw query, in order; empty items are skipped, a name without
// '=' gets an empty value.
void parseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>& params);
// Whether a comma-separated header value (null: absent) lists `token`, in any case.
bool listsToken(const std::string* value, std::string_view token);
// HTTP/1.1 keeps a connection unless told to close; HTTP/1.0 closes unless told to keep it.
bool wantsKeepAlive(const HttpRequest& request);

// "Not Found" for 404; "Status" for a code it does not know.
const char* reasonPhrase(int status);
// The Date field's text for now, kept per thread for the second it names.
const std::string& httpDate();
// "HTTP/1.1 200 OK\r\nDate: ...\r\n".
std::string statusLine(int status);
// Appends the rest of the head for `response` (type, length, connection, the blank line); returns whether
// a body follows.
bool appendReplyHead(std::string& head, const HttpResponse& response, bool keepAlive, bool http10);
// A chunk-size line: "1a2b\r\n".
std::string chunkSizeLine(size_t size);

}  // namespace server
}  // namespace ks
