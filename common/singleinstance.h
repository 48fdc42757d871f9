#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

namespace torvane {

// One running copy per program and per user settings folder: a QLockFile held for the life of
// the process (on Windows the named mutex of the program's title) plus a local server of the same
// name, to which a second copy connects so that the first can announce it (event-driven, no
// polling).
class SingleInstanceGuard : public QObject {
    Q_OBJECT
public:
    // name: "Torvane客" or "Torvane服".
    explicit SingleInstanceGuard(const QString& name, QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    // True when this process is now the primary copy.
    bool tryAcquire();
    bool isPrimary() const { return m_primary; }
    // Called by a second copy: tells the primary that another start was attempted.
    void notifyPrimary();

    QString lockFilePath() const;
    QString serverName() const;

signals:
    void secondInstanceStarted();

private:
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    void* m_mutex = nullptr; // Windows: the mutex handle, owned until the process ends
    bool m_primary = false;
};

} // namespace torvane
