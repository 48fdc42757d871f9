#pragma once

#include "common/linefile.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace torvane {

// The Server's line file as it is on disk now, for the update it sends to every Client that asks.
// Many Clients ask at once, so an unchanged file is not read again: the cache holds while the
// file's identity, size and times stay the same, and only once the file has settled (timestamps
// are coarse, so a same-size rewrite within one tick would not show).
//
// A refused file (a link, not a regular file, too large, unreadable) is never sent: the caller
// sends nothing and can say why with DescribeLineFileStatus; a missing or empty file is the
// bare update word. A change of refusal is logged once, not once per Client.
class LineFileSource {
public:
    explicit LineFileSource(const QString& path = QString());

    void setPath(const QString& path);
    QString path() const { return m_path; }

    LineFileRead read();

private:
    struct Stamp {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 mtimeNs = 0;
        qint64 ctimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    // The name's own stamp (not a link's target); nullopt when the name cannot be looked at.
    std::optional<Stamp> stampNow() const;
    void noteStatus(const LineFileRead& read);

    QString m_path;
    QByteArray m_native;
    std::optional<Stamp> m_cachedStamp;
    LineFileRead m_cached;
    std::optional<LineFileStatus> m_lastStatus;
};

} // namespace torvane
