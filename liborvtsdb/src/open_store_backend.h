/*
 * open_store_backend.h - the backend a store location names. Kept apart from
 * both store_location and the backends so that neither has to know the
 * other: this is the one place that knows every backend.
 */
#ifndef ORVTSDB_OPEN_STORE_BACKEND_H
#define ORVTSDB_OPEN_STORE_BACKEND_H

#include <memory>
#include <string>

#include "store_backend.h"
#include "store_location.h"

namespace orvtsdb {

/* The backend `loc` names: remote write when it has a remote_url, else
 * SQLite. Null with a reason in err. */
std::unique_ptr<StoreBackend> open_store_backend(const StoreLocation &loc, std::string &err);

}  // namespace orvtsdb

#endif
