#pragma once

#include <QString>
#include <QStringList>

// A network namespace owned by one test: created with its own resolver file (which
// `ip netns exec` bind-mounts over /etc/resolv.conf) and always deleted with it.
class AdapterNetns {
public:
    AdapterNetns(const QString& tag, const QByteArray& resolverContent);
    ~AdapterNetns();
    AdapterNetns(const AdapterNetns&) = delete;
    AdapterNetns& operator=(const AdapterNetns&) = delete;

    bool isValid() const { return m_valid; }
    QString name() const { return m_name; }
    QString resolverPath() const;
    QByteArray resolverContent() const;

    // `ip -n NAME args...`; false (with the output in lastError()) when it fails.
    bool ip(const QStringList& args, QString* output = nullptr);
    // `ip netns exec NAME program args...` (prefix runs before program, e.g. setpriv ...).
    int exec(const QStringList& command, QByteArray* out, QByteArray* err = nullptr);
    QString lastError() const { return m_lastError; }

    // Deletes namespaces of earlier runs of this test whose process is gone.
    static void RemoveStale();

private:
    QString m_name;
    bool m_valid = false;
    QString m_lastError;
};
