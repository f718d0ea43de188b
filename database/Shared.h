#pragma once
// The process-wide connection that the control, the forms and the connection module share.
#include "database/Connection.h"
#include "database/Recordset.h"

#include <memory>

namespace mPublic {
// Null means "nothing": ConnectDatabase creates a fresh object then.
inline std::unique_ptr<Connection> Conn;
} // namespace mPublic
