#pragma once

#include <QLoggingCategory>

namespace torvane::server {

// The Server's logging areas; see common/logging.h for the naming scheme.
Q_DECLARE_LOGGING_CATEGORY(lcHub)      // torvane.server.hub: listening, accepting, descriptors
Q_DECLARE_LOGGING_CATEGORY(lcSettings) // torvane.server.settings: FwqDk, GengXin, QiQiu
Q_DECLARE_LOGGING_CATEGORY(lcLines)    // torvane.server.lines: the line table and its file
Q_DECLARE_LOGGING_CATEGORY(lcAudit)    // torvane.server.audit: switch commands and their outcome
Q_DECLARE_LOGGING_CATEGORY(lcSecure)   // torvane.server.secure: the secure port, refused peers
Q_DECLARE_LOGGING_CATEGORY(lcHealth)   // torvane.server.health: line health, failover

} // namespace torvane::server
