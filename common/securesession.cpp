#include "common/securesession.h"

#include "common/settingvalues.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

namespace torvane {

using SecureFrame::Type;

namespace {

QByteArray Hmac(const QByteArray& key, const QByteArray& message) {
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

// Compares tags without stopping at the first difference, so timing tells nothing about them.
bool SameTag(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

QByteArray SystemNonce() {
    QByteArray nonce(SecureSession::kNonceSize, '\0');
    QRandomGenerator::system()->generate(nonce.begin(), nonce.end());
    return nonce;
}

QByteArray CounterBytes(quint64 counter) {
    QByteArray bytes(SecureSession::kCounterSize, '\0');
    qToBigEndian<quint64>(counter, bytes.data());
    return bytes;
}

} // namespace

QByteArray SiteKeyFromText(const QString& text) {
    if (text.isEmpty())
        return {};
    QByteArray material("torvane site key", 17); // the label and its terminating zero
    material += text.toUtf8();
    return QCryptographicHash::hash(material, QCryptographicHash::Sha256);
}

QString SiteKeyToStored(const QByteArray& key) {
    return QString::fromLatin1(key.toHex());
}

QByteArray SiteKeyFromStored(const QString& stored) {
    if (stored.size() != 64)
        return {};
    for (QChar c : stored) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return {};
    }
    return QByteArray::fromHex(stored.toLatin1());
}

quint16 SecurePort(quint16 legacyPort, const QString& setting) {
    if (const quint16 port = PortFromText(setting))
        return port;
    return legacyPort == 0 || legacyPort == 65535 ? 0 : quint16(legacyPort + 1);
}

SecureSession::SecureSession(Role role, QByteArray siteKey, NonceSource nonces)
    : m_role(role), m_siteKey(std::move(siteKey)),
      m_nonces(nonces ? std::move(nonces) : NonceSource(SystemNonce)),
      m_reader(role == Role::Server ? SecureFrame::kServerReadCap : SecureFrame::kClientReadCap),
      m_state(role == Role::Server ? State::AwaitHello : State::Start) {}

QByteArray SecureSession::start() {
    if (m_role != Role::Client || m_state != State::Start)
        return {};
    m_clientNonce = m_nonces();
    m_state = State::AwaitChallenge;
    return SecureFrame::Encode(Type::Hello, m_clientNonce);
}

SecureSession::Result SecureSession::receive(const QByteArray& bytes) {
    Result result;
    if (m_state == State::Failed)
        return result;
    const QList<SecureFrame::Frame> frames = m_reader.feed(bytes);
    for (const SecureFrame::Frame& frame : frames) {
        handle(frame, result);
        if (m_state == State::Failed)
            return result;
    }
    if (m_reader.failed())
        fail(result, m_reader.error());
    return result;
}

void SecureSession::handle(const SecureFrame::Frame& frame, Result& result) {
    if (m_state == State::Open)
        handleMessage(frame, result);
    else
        handleHandshake(frame, result);
}

QByteArray SecureSession::proof(const char* label) const {
    return Hmac(m_siteKey, QByteArray(label) + m_clientNonce + m_serverNonce);
}

void SecureSession::handleHandshake(const SecureFrame::Frame& frame, Result& result) {
    // Each state takes exactly one frame type, of exactly its size.
    const auto expect = [&](Type type, int size) {
        if (frame.type != type) {
            fail(result,
                 QStringLiteral("frame of type %1 during the handshake").arg(int(frame.type)));
            return false;
        }
        if (frame.payload.size() != size) {
            fail(result, QStringLiteral("handshake frame of %1 bytes").arg(frame.payload.size()));
            return false;
        }
        return true;
    };
    switch (m_state) {
    case State::AwaitHello:
        if (!expect(Type::Hello, kNonceSize))
            return;
        m_clientNonce = frame.payload;
        m_serverNonce = m_nonces();
        result.toSend += SecureFrame::Encode(Type::Challenge, m_serverNonce);
        m_state = State::AwaitProof;
        return;
    case State::AwaitChallenge:
        if (!expect(Type::Challenge, kNonceSize))
            return;
        m_serverNonce = frame.payload;
        result.toSend += SecureFrame::Encode(Type::Proof, proof("torvane client proof"));
        m_state = State::AwaitAccept;
        return;
    case State::AwaitProof:
        if (!expect(Type::Proof, kTagSize))
            return;
        if (!SameTag(frame.payload, proof("torvane client proof"))) {
            fail(result, QStringLiteral("client proof does not match the site key"));
            return;
        }
        result.toSend += SecureFrame::Encode(Type::Accept, proof("torvane server proof"));
        open();
        result.opened = true;
        return;
    case State::AwaitAccept:
        if (!expect(Type::Accept, kTagSize))
            return;
        if (!SameTag(frame.payload, proof("torvane server proof"))) {
            fail(result, QStringLiteral("server proof does not match the site key"));
            return;
        }
        open();
        result.opened = true;
        return;
    case State::Start:
        fail(result, QStringLiteral("frame before the hello was sent"));
        return;
    case State::Open:
    case State::Failed:
        return;
    }
}

void SecureSession::open() {
    const QByteArray session = Hmac(m_siteKey, "torvane session" + m_clientNonce + m_serverNonce);
    const QByteArray clientToServer = Hmac(session, "client to server");
    const QByteArray serverToClient = Hmac(session, "server to client");
    m_sendKey = m_role == Role::Client ? clientToServer : serverToClient;
    m_receiveKey = m_role == Role::Client ? serverToClient : clientToServer;
    m_state = State::Open;
}

void SecureSession::handleMessage(const SecureFrame::Frame& frame, Result& result) {
    if (!mayReceive(frame.type)) {
        fail(result, QStringLiteral("frame of type %1 not taken here").arg(int(frame.type)));
        return;
    }
    if (frame.payload.size() < kCounterSize + kTagSize) {
        fail(result, QStringLiteral("message frame of %1 bytes").arg(frame.payload.size()));
        return;
    }
    const QByteArray signedPart = frame.payload.first(frame.payload.size() - kTagSize);
    const QByteArray tag = frame.payload.last(kTagSize);
    if (!SameTag(tag, Hmac(m_receiveKey, frame.header + signedPart))) {
        fail(result, QStringLiteral("message tag does not match"));
        return;
    }
    // Checked after the tag: only a frame this session's peer made can say anything about order.
    const quint64 counter = qFromBigEndian<quint64>(signedPart.constData());
    if (counter != m_receiveCounter + 1) {
        fail(result, QStringLiteral("message counter %1 where %2 was due")
                         .arg(counter)
                         .arg(m_receiveCounter + 1));
        return;
    }
    m_receiveCounter = counter;
    result.messages.append(Message{frame.type, signedPart.sliced(kCounterSize)});
}

QByteArray SecureSession::seal(Type type, const QByteArray& body) {
    if (m_state != State::Open || !maySend(type))
        return {};
    const qsizetype payloadSize = kCounterSize + body.size() + kTagSize;
    const int peerCap =
        m_role == Role::Client ? SecureFrame::kServerReadCap : SecureFrame::kClientReadCap;
    if (payloadSize > peerCap)
        return {}; // the peer would drop the connection on it
    const QByteArray header = SecureFrame::EncodeHeader(type, payloadSize);
    const QByteArray signedPart = CounterBytes(++m_sendCounter) + body;
    return header + signedPart + Hmac(m_sendKey, header + signedPart);
}

bool SecureSession::mayReceive(Type type) const {
    return m_role == Role::Server ? maySendAs(Role::Client, type) : maySendAs(Role::Server, type);
}

bool SecureSession::maySend(Type type) const {
    return maySendAs(m_role, type);
}

bool SecureSession::maySendAs(Role role, Type type) {
    switch (type) {
    case Type::Report:
    case Type::HealthReport:
    case Type::RollbackReport:
        return role == Role::Client;
    case Type::LineListUpdate:
    case Type::SwitchCommand:
        return role == Role::Server;
    default:
        return false; // handshake types are never sealed
    }
}

void SecureSession::fail(Result& result, const QString& reason) {
    m_state = State::Failed;
    m_error = reason;
    result.error = reason;
    // Keys are of no further use; do not keep them around.
    m_sendKey.fill('\0');
    m_receiveKey.fill('\0');
}

} // namespace torvane
