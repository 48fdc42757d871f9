#include "tests/client/controllerfixture.h"

#include "common/protocol.h"
#include "common/securesession.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace torvane;
using namespace torvane::client;
using SecureFrame::Type;

namespace {
QByteArray Gbk(const char* utf8) {
    return ToGbk(QString::fromUtf8(utf8));
}
const QString kTypedKey = QStringLiteral("site key of the test bed");
const QByteArray kLineFile = Gbk("电信;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n"
                                 "联通;;;10.2.0.1;10.2.0.53;;\r\n");
} // namespace

// The Client with a site key, against local servers: one plays the Server's secure port with the
// real session code, one listens on the legacy port and must never be used.
class TestSecureLink : public QObject {
    Q_OBJECT

    QTcpServer m_legacy;
    QTcpServer m_secure;
    std::unique_ptr<ControllerFixture> m_client;
    QTcpSocket* m_peer = nullptr;
    std::unique_ptr<SecureSession> m_session;
    QList<SecureSession::Message> m_messages;
    QString m_error;

    // Accepts the Client's next connection on the secure port and answers it as the Server does.
    void acceptPeer(const QByteArray& serverKey) {
        [&] { QTRY_VERIFY_WITH_TIMEOUT(m_secure.hasPendingConnections(), 5000); }();
        delete m_peer;
        m_peer = m_secure.nextPendingConnection();
        m_session = std::make_unique<SecureSession>(SecureSession::Role::Server, serverKey);
        m_error.clear();
        const auto read = [this] {
            const auto result = m_session->receive(m_peer->readAll());
            m_peer->write(result.toSend);
            // Health reports come at their own pace (test_client_linecheck looks at them).
            for (const SecureSession::Message& message : result.messages) {
                if (message.type != Type::HealthReport)
                    m_messages.append(message);
            }
            if (!result.error.isEmpty())
                m_error = result.error;
        };
        connect(m_peer, &QTcpSocket::readyRead, this, read);
        read(); // the hello may be here already
    }

    void startClient(const QString& ownLinesOnly = QStringLiteral("0")) {
        SetSetting("SiteKey", SiteKeyToStored(SiteKeyFromText(kTypedKey)));
        SetSetting("SecureOwnLinesOnly", ownLinesOnly);
        m_client = std::make_unique<ControllerFixture>(
            Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        m_client->writeLineFile(FromGbk(kLineFile));
        QVERIFY(m_client->controller->start());
    }

    void waitForReport() {
        QTRY_VERIFY_WITH_TIMEOUT(!m_messages.isEmpty(), 5000);
        QCOMPARE(m_messages.takeFirst().type, Type::Report);
    }

private slots:
    void init() {
        ClearSettings();
        // Two neighbouring free ports: the legacy one and the secure one above it.
        for (quint16 port = 42000; port < 43000; port += 2) {
            if (m_legacy.listen(QHostAddress::LocalHost, port) &&
                m_secure.listen(QHostAddress::LocalHost, port + 1))
                break;
            m_legacy.close();
        }
        QVERIFY(m_secure.isListening());
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", QString::number(m_legacy.serverPort()));
    }

    void cleanup() {
        m_client.reset();
        delete m_peer;
        m_peer = nullptr;
        m_legacy.close();
        m_secure.close();
        m_messages.clear();
    }

    void reportsAndCommandsGoSealedOverTheSecurePortOnly() {
        startClient();
        acceptPeer(SiteKeyFromText(kTypedKey));
        QTRY_VERIFY_WITH_TIMEOUT(!m_messages.isEmpty(), 5000);
        // The report inside is the legacy report, byte for byte.
        QCOMPARE(m_messages.first().body, Gbk("计算机信息10.0.0.1; 10.0.0.53;电信;1"));
        m_messages.clear();
        QVERIFY(m_client->controller->serverConnected());
        QVERIFY(m_client->controller->link().isAuthenticated());
        QVERIFY(!m_legacy.hasPendingConnections());

        m_peer->write(m_session->seal(Type::SwitchCommand, Gbk("切换10.2.0.1;10.2.0.53;")));
        waitForReport();
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QCOMPARE(m_client->adapter->switchCalls().first().gateway, QStringLiteral("10.2.0.1"));

        const QByteArray newFile = Gbk("移动;;;10.3.0.1;10.3.0.53;;\r\n");
        m_peer->write(m_session->seal(Type::LineListUpdate, Gbk("更新") + newFile));
        QTRY_COMPARE(m_client->lineFileBytes(), newFile);
        QVERIFY(m_error.isEmpty());
        // Nothing ever went to the legacy port.
        QVERIFY(!m_legacy.hasPendingConnections());
    }

    void replayedForgedOrMislabelledCommandsAreRefused() {
        startClient();
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        const QByteArray command =
            m_session->seal(Type::SwitchCommand, Gbk("切换10.2.0.1;10.2.0.53;"));
        m_peer->write(command);
        waitForReport();
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);

        // The same frame again: the link is dropped, nothing switches, and a fresh session
        // follows.
        QSignalSpy lost(&m_client->controller->link(), &ServerLink::connectionLost);
        m_peer->write(command);
        QTRY_COMPARE(lost.size(), 1);
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        // A recorded frame replayed into the new connection fails its tag.
        m_peer->write(command);
        QTRY_COMPARE(lost.size(), 2);
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        // A switch body in an update frame is refused too.
        m_peer->write(m_session->seal(Type::LineListUpdate, Gbk("切换10.3.0.1;10.3.0.53;")));
        QTRY_COMPARE(lost.size(), 3);
        // A legacy command on the secure port is refused on its first bytes.
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        m_peer->write(Gbk("切换10.3.0.1;10.3.0.53;"));
        QTRY_COMPARE(lost.size(), 4);
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
    }

    void serverWithoutTheKeyIsNeverTrusted() {
        startClient();
        acceptPeer(SiteKeyFromText(QStringLiteral("someone else")));
        QTRY_VERIFY(!m_error.isEmpty()); // it cannot check the Client's proof
        // And a host that skips the check and sends an accept of its own is not believed.
        QTest::qWait(100);
        QVERIFY(!m_client->controller->serverConnected());
        QVERIFY(m_messages.isEmpty());
        QVERIFY(!m_legacy.hasPendingConnections());
        QVERIFY(m_client->adapter->switchCalls().isEmpty());
    }

    void ownLinesOnlyRefusesOtherTargets() {
        startClient(QStringLiteral("1"));
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        m_peer->write(m_session->seal(Type::SwitchCommand, Gbk("切换10.9.0.1;10.9.0.53;")));
        QTest::qWait(200);
        QVERIFY(m_client->adapter->switchCalls().isEmpty());
        QVERIFY(m_client->controller->serverConnected()); // refused, not a protocol fault
        m_peer->write(m_session->seal(Type::SwitchCommand, Gbk("切换10.2.0.1;10.2.0.53;")));
        waitForReport();
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
    }

    void keyIsStoredDerivedAndClearedFromTheSettings() {
        startClient();
        acceptPeer(SiteKeyFromText(kTypedKey));
        waitForReport();
        ServerSettingsInput input{QStringLiteral("127.0.0.1"),
                                  QString::number(m_legacy.serverPort()), false, true};
        input.siteKeyText = QStringLiteral("new key");
        input.ownLinesOnly = true;
        QCOMPARE(m_client->controller->applyServerSettings(input), ServerSettingsCheck::Ok);
        QCOMPARE(Setting("SiteKey"), SiteKeyToStored(SiteKeyFromText(QStringLiteral("new key"))));
        QVERIFY(!Setting("SiteKey").contains(QStringLiteral("new key")));
        QCOMPARE(Setting("SecureOwnLinesOnly"), QStringLiteral("1"));

        // Without a key text the key stays; an empty text removes it, and the Client goes back to
        // the legacy port.
        input.siteKeyText.reset();
        m_client->controller->applyServerSettings(input);
        QCOMPARE(Setting("SiteKey"), SiteKeyToStored(SiteKeyFromText(QStringLiteral("new key"))));
        input.siteKeyText = QString();
        m_client->controller->applyServerSettings(input);
        QCOMPARE(Setting("SiteKey"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_legacy.hasPendingConnections(), 5000);
    }
};

QTEST_GUILESS_MAIN(TestSecureLink)
#include "test_securelink.moc"
