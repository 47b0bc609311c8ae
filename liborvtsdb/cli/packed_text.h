/*
 * packed_text.h - text packed for embedding in the report page: gzip (which
 * browsers unpack natively with DecompressionStream) written as base64.
 */
#ifndef ORVTSDB_PACKED_TEXT_H
#define ORVTSDB_PACKED_TEXT_H

#include <string>

namespace orvtsdb_cli {

/* base64(gzip(text)). Dies (status 1) if zlib fails, which only happens when
 * memory runs out. */
std::string gzip_base64(const std::string &text);

}  // namespace orvtsdb_cli

#endif
