#pragma once

#include <QString>

namespace torvane::client {

// MD5 digest of a text as 32 lower-case hex digits. Each UTF-16 code unit gives one byte, its
// low 8 bits, so stored password digests stay what they have always been.
class Cmd5 {
public:
    QString md5(const QString& message) const;
    static QByteArray digest(const QByteArray& bytes); // raw 16-byte RFC 1321 digest
};

} // namespace torvane::client
