// The header lines every reply of the CGI front carries, whoever writes the rest of it: the
// front's JSON replies and errors, sign-in replies and the replies a handler writes itself.
#ifndef ORVA_FRONT_REPLY_HEADERS_H
#define ORVA_FRONT_REPLY_HEADERS_H

namespace front {

// No reply holding contacts or a session is kept by a cache, none is read as another type than
// it says, and none is rendered in a frame or with anything loaded from elsewhere.
// package/lighttpd/lighttpd.conf.in sets the same lines on the pages and on every reply.
// Cache-Control comes last: a handler's reply with a rule of its own (a card's photo) keeps the
// lines before it only.
inline constexpr const char kReplyHeaders[] =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; object-src 'none';"
    " base-uri 'none'; form-action 'self'; frame-ancestors 'none'\r\n"
    "Cache-Control: no-store\r\n";

}  // namespace front

#endif  // ORVA_FRONT_REPLY_HEADERS_H
