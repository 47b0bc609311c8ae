/*
 * remote_write_backend.h - a migration streamed to a time-series engine
 * through its remote-write endpoint instead of into a SQLite file.
 */
#ifndef ORVTSDB_REMOTE_WRITE_BACKEND_H
#define ORVTSDB_REMOTE_WRITE_BACKEND_H

#include <memory>
#include <string>

#include "remote_write_client.h"
#include "store_backend.h"

namespace orvtsdb {

/* A backend sending every finished chunk's samples to opt.url, named as
 * engine_mapping.h says; with `verify` its commit reads back what the
 * engine holds (engine_readback.h). Null with a reason in err when the
 * options are unusable or the engine does not take an empty write (not
 * there, refusing, credentials not accepted, too slow). */
std::unique_ptr<StoreBackend> open_remote_write_backend(const RemoteWriteOptions &opt, bool verify,
                                                        std::string &err);

}  // namespace orvtsdb

#endif
