#pragma once

#include "common/secureframe.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace torvane {

// The site key as both programs hold it: 32 bytes derived from the typed text, so that the
// settings file never keeps the text itself. Empty text gives an empty key (channel off).
QByteArray SiteKeyFromText(const QString& text);
// Stored form (lower-case hex) and back; a stored value that is not 64 hex digits reads as no key.
QString SiteKeyToStored(const QByteArray& key);
QByteArray SiteKeyFromStored(const QString& stored);
// The secure channel's port: the setting's text when it is a usable port, else the legacy port
// + 1; 0 when neither gives one.
quint16 SecurePort(quint16 legacyPort, const QString& setting);

// One connection's handshake and message authentication, for either role. Pure: it is given the
// received bytes and returns what to send and what arrived authenticated; the owner moves bytes
// and keeps the clock (a handshake that does not finish in time is the owner's to drop).
class SecureSession {
public:
    enum class Role { Client, Server };
    enum class State { Start, AwaitChallenge, AwaitAccept, AwaitHello, AwaitProof, Open, Failed };
    // Returns 32 fresh random bytes per call; the system CSPRNG unless a test gives its own.
    using NonceSource = std::function<QByteArray()>;

    static constexpr int kNonceSize = 32;
    static constexpr int kTagSize = 32;
    static constexpr int kCounterSize = 8;

    struct Message {
        SecureFrame::Type type;
        QByteArray body;
    };
    struct Result {
        QByteArray toSend;       // handshake bytes for the peer
        QList<Message> messages; // authenticated bodies, in order
        bool opened = false;     // the handshake finished with these bytes
        QString error;           // set once: drop the connection
    };

    SecureSession(Role role, QByteArray siteKey, NonceSource nonces = {});

    // Client: the hello that opens the handshake. Empty for the Server or when called twice.
    QByteArray start();
    Result receive(const QByteArray& bytes);
    // An authenticated frame for the peer; empty when the session is not open or this role may
    // not send that type.
    QByteArray seal(SecureFrame::Type type, const QByteArray& body);

    State state() const { return m_state; }
    bool isOpen() const { return m_state == State::Open; }
    QString error() const { return m_error; }

private:
    void handle(const SecureFrame::Frame& frame, Result& result);
    void handleHandshake(const SecureFrame::Frame& frame, Result& result);
    void handleMessage(const SecureFrame::Frame& frame, Result& result);
    void open();
    void fail(Result& result, const QString& reason);
    QByteArray proof(const char* label) const;
    bool mayReceive(SecureFrame::Type type) const;
    bool maySend(SecureFrame::Type type) const;
    static bool maySendAs(Role role, SecureFrame::Type type);

    Role m_role;
    QByteArray m_siteKey;
    NonceSource m_nonces;
    SecureFrame::Reader m_reader;
    State m_state;
    QByteArray m_clientNonce;
    QByteArray m_serverNonce;
    QByteArray m_sendKey;
    QByteArray m_receiveKey;
    quint64 m_sendCounter = 0;
    quint64 m_receiveCounter = 0;
    QString m_error;
};

} // namespace torvane
