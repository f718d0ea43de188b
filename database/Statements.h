#pragma once
// Statements on the connection's thread (private to database/): text statements and prepared ones with
// their values bound, the rows of either turned into text columns as they arrive, and the errors the
// client library reports for them.
#include <QString>

#include "util/Status.h"

#include <mysql.h>

Error errorFrom(MYSQL* m, bool timedOut);
// A broken transfer is sometimes recorded on the connection rather than on the statement.
Error errorFrom(MYSQL_STMT* s, bool timedOut);

// The server has gone, or ended this session (a shutdown or a kill reports itself before closing).
bool lostConnection(unsigned int code);
