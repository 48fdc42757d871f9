#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace torvane::server {

// The bytes of the Server's line file as they are on disk at the moment of sending. Thousands of
// Clients asking within a second would read the same file thousands of times, so an unchanged
// file is served from memory; a file touched in the last two seconds is always read again,
// because timestamps are too coarse to show a same-size rewrite within one tick.
class LineFileCache {
public:
    LineFileCache();
    ~LineFileCache();
    LineFileCache(const LineFileCache&) = delete;
    LineFileCache& operator=(const LineFileCache&) = delete;

    void setPath(const QString& path);
    QString path() const { return m_path; }
    // Empty for a missing file (an empty list) or one that cannot be opened.
    QByteArray read();

private:
    struct Snapshot; // the file's identity, size and times, as the OS reports them
    QString m_path;
    QByteArray m_nativePath;
    std::unique_ptr<Snapshot> m_snapshot; // set while the cached bytes may be reused
    QByteArray m_bytes;
};

} // namespace torvane::server
