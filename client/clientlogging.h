#pragma once

#include <QLoggingCategory>

namespace torvane::client {

// The Client's logging areas ("torvane.client.<area>").
Q_DECLARE_LOGGING_CATEGORY(lcAdapter) // torvane.client.adapter: inspection, backend choice
Q_DECLARE_LOGGING_CATEGORY(lcSwitch)  // torvane.client.switch: switches asked for and their end
Q_DECLARE_LOGGING_CATEGORY(lcLink)    // torvane.client.link: the server link and its messages
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // torvane.client.startup: start-up, settings, autostart
Q_DECLARE_LOGGING_CATEGORY(lcWindow)  // torvane.client.window: what the windows show
Q_DECLARE_LOGGING_CATEGORY(lcSecure)  // torvane.client.secure: the secure channel and its policy
Q_DECLARE_LOGGING_CATEGORY(lcHealth)  // torvane.client.health: line probes, health and rollback

} // namespace torvane::client
