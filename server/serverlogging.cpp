#include "server/serverlogging.h"

namespace torvane::server {

Q_LOGGING_CATEGORY(lcHub, "torvane.server.hub")
Q_LOGGING_CATEGORY(lcSettings, "torvane.server.settings")
Q_LOGGING_CATEGORY(lcLines, "torvane.server.lines")
Q_LOGGING_CATEGORY(lcAudit, "torvane.server.audit")
Q_LOGGING_CATEGORY(lcSecure, "torvane.server.secure")
Q_LOGGING_CATEGORY(lcHealth, "torvane.server.health")

} // namespace torvane::server
