#pragma once
// The process-wide connection and recordset that the control, the forms and the connection module share.
#include "database/Connection.h"
#include "database/Recordset.h"

#include <memory>

namespace mPublic {
// Null means "nothing": ConnectDatabase creates a fresh object then.
inline std::unique_ptr<Connection> Conn;
// Shared so a caller that ran a statement keeps reading its own rows even if a later statement
// (run from a handler while this one yielded) has replaced Rs.
inline std::shared_ptr<Recordset> Rs;
// Rs is replaced, never reopened, by each statement run into it: whoever still reads an earlier
// result (a handler that yielded meanwhile) keeps it whole.
inline std::shared_ptr<Recordset> freshRs() {
    Rs = std::make_shared<Recordset>();
    return Rs;
}
} // namespace mPublic
