#pragma once

#include "client/clientsettings.h"
#include "common/lineentry.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace torvane::client {

// Result of a change the line editor asks for.
enum class LineChange {
    Saved,
    NameTaken, // add only: a line of the file has this name already; nothing changed
    ListFull,  // add only: the list holds 20 lines already; nothing changed
    NotSaved,  // the file could not be written; the list was reloaded from what is on disk
};

// The connection and start-up settings as the settings window holds them.
struct ServerSettingsInput {
    QString serverIp;   // as typed
    QString serverPort; // as typed
    bool autostart = false;
    bool updateList = false;
    // The site key as typed; nullopt leaves the stored key as it is, an empty text removes it.
    std::optional<QString> siteKeyText = std::nullopt;
    bool ownLinesOnly = false; // commanded switches only to lines of the own list
};

// What the Client's dialogs need and may do: the controller implements it, so the dialogs hold
// no logic of their own beyond their fields and messages.
class ClientContext : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ClientContext() override = default;

    // The lines the main window lists, in file order.
    virtual QList<LineEntry> lineList() const = 0;
    // Every change below ends as a change of the main window does: the line picked there is
    // dropped (its switch does nothing until a line is picked again), the list is reloaded and
    // the current line looked up again. Entries are passed trimmed, as they go into the file.
    virtual LineChange addLine(const LineEntry& entry) = 0;
    virtual LineChange modifyLine(const LineEntry& stored, const LineEntry& changed) = 0;
    virtual LineChange deleteLine(const LineEntry& stored) = 0;

    virtual const ClientSettings& settings() const = 0;
    // Checks the texts (CheckServerSettings); when they pass, stores all four settings, sets or
    // removes the autostart entry and connects to the server anew, also when nothing changed.
    virtual ServerSettingsCheck applyServerSettings(const ServerSettingsInput& input) = 0;

    virtual bool adminUnlocked() const = 0;
    // Opens the lock when the typed password (spaces around ignored) is the stored one; any other
    // password closes it. Returns whether it is open.
    virtual bool unlock(const QString& typedPassword) = 0;
    // Stores the digest of the new password when the old one is right; the lock stays as it is.
    virtual bool changePassword(const QString& typedOld, const QString& typedNew) = 0;

signals:
    // The line list was reloaded (an edit, an update from the server).
    void lineListReloaded();
};

} // namespace torvane::client
