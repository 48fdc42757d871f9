#include "client/clientlogging.h"

namespace torvane::client {

Q_LOGGING_CATEGORY(lcAdapter, "torvane.client.adapter")
Q_LOGGING_CATEGORY(lcSwitch, "torvane.client.switch")
Q_LOGGING_CATEGORY(lcLink, "torvane.client.link")
Q_LOGGING_CATEGORY(lcStartup, "torvane.client.startup")
Q_LOGGING_CATEGORY(lcWindow, "torvane.client.window")
Q_LOGGING_CATEGORY(lcSecure, "torvane.client.secure")
Q_LOGGING_CATEGORY(lcHealth, "torvane.client.health")

} // namespace torvane::client
