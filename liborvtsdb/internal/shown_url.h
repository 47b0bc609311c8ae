/*
 * shown_url.h - a URL as messages may show it: a password in its user part
 * ("user:secret@host") reads "user:***@host". Every message and closing line
 * that names an endpoint shows it through this, so credentials given in a URL
 * never reach a terminal or a log.
 */
#ifndef ORVTSDB_SHOWN_URL_H
#define ORVTSDB_SHOWN_URL_H

#include <string>

namespace orvtsdb {

std::string shown_url(const std::string &url);

}  // namespace orvtsdb

#endif
