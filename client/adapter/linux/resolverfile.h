#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace torvane::client {

// The resolver file (normally /etc/resolv.conf): its IPv4 `nameserver` lines are the DNS server
// list the adapter layer shows and sets. Other lines (search, options, comments) are kept.
class ResolverFile {
public:
    enum class ReadStatus { Ok, Missing, Failed };

    explicit ResolverFile(const QString& path);

    QString path() const { return m_path; }

    // The IPv4 name servers in file order.
    ReadStatus read(QStringList* servers, QString* errorText) const;

    // Whether writeNameservers() may proceed: the file must be a regular file that this process
    // may write; a missing file needs a writable folder. A symlink belongs to whatever service
    // manages it and is refused, unless a file is mounted over its target (as `ip netns exec`
    // does on hosts whose resolver file is a link): that one is rewritten in place.
    bool checkWritable(QString* errorText) const;

    // Replaces every nameserver line by one line per non-empty server, in order. Written to a
    // temporary file and renamed over the old one, so readers see the old file or the new one;
    // where the file is a mount point (a bind mount cannot be renamed over) it is rewritten in
    // place with one write, padded with blank lines, and cut to size after it.
    bool writeNameservers(const QStringList& servers, QString* errorText) const;

    static QStringList ParseNameservers(const QByteArray& content);
    static QByteArray ReplaceNameservers(const QByteArray& content, const QStringList& servers);

    // Files larger than this are not resolver files; reading them is refused.
    static constexpr qint64 kMaxSize = 1 << 20;

private:
    // `old` is what the file held; it is put back when the rewrite fails halfway.
    bool writeInPlace(const QString& target, const QByteArray& content, const QByteArray& old,
                      QString* errorText) const;

    QString m_path;
};

} // namespace torvane::client
