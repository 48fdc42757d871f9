#pragma once

// The line file the Server benchmarks serve: twenty lines, as a real site's list would be, in a
// folder of its own that goes with the object.

#include "common/gbk.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace torvane::bench {

class BenchLineFile {
public:
    BenchLineFile() {
        for (int i = 1; i <= 20; ++i)
            m_bytes += ToGbk(QString::fromUtf8("线路%1;;;10.0.%1.1;192.0.2.%1;192.0.2.%2;")
                                 .arg(i)
                                 .arg(i + 100)) +
                       "\r\n";
        QFile out(path());
        m_ok = m_dir.isValid() && out.open(QIODevice::WriteOnly) &&
               out.write(m_bytes) == m_bytes.size();
    }

    bool ok() const { return m_ok; }
    QString path() const { return m_dir.filePath(QStringLiteral("MainConfig.dat")); }
    const QByteArray& bytes() const { return m_bytes; }

private:
    QTemporaryDir m_dir;
    QByteArray m_bytes;
    bool m_ok = false;
};

} // namespace torvane::bench
