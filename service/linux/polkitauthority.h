#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

namespace torvane::service {

// The polkit action a caller needs to switch the line; its defaults are in the action file
// installed with the program (active local sessions yes, everybody else an administrator).
inline constexpr char kSwitchAction[] = "org.torvane.switch-line";

// Asks polkit, without blocking, whether the sender of a system-bus message may do an action.
// The subject is the sender's bus name: polkit looks up its process and user through the bus
// itself, so a caller cannot pass itself off as another process.
class PolkitAuthority : public QObject {
    Q_OBJECT
public:
    // authorized, and when not a reason for the log ("no rule allows it", polkit's error).
    using Answer = std::function<void(bool authorized, const QString& reason)>;

    explicit PolkitAuthority(const QDBusConnection& bus, QObject* parent = nullptr);

    // `interactive`: polkit may ask the user for a password through the session's agent.
    void check(const QString& busName, const QString& action, bool interactive, Answer answer);

private:
    QDBusConnection m_bus;
};

} // namespace torvane::service
