/*
 * open_store_backend.cpp - picks the backend of a store location.
 */
#include "open_store_backend.h"

#include <cstdlib>
#include <cstring>

#include "remote/remote_write_backend.h"

namespace orvtsdb {

std::unique_ptr<StoreBackend> open_store_backend(const StoreLocation &loc, std::string &err) {
  if (loc.remote_url.empty()) return open_sqlite_backend(loc, err);
  RemoteWriteOptions opt;
  opt.url = loc.remote_url;
  opt.bearer_token_file = loc.bearer_token_file;
  // ORVTSDB_REMOTE_VERIFY=1: read back what the engine holds at the commit
  const char *verify = std::getenv("ORVTSDB_REMOTE_VERIFY");
  return open_remote_write_backend(opt, verify && std::strcmp(verify, "1") == 0, err);
}

}  // namespace orvtsdb
