#include "common/secureframe.h"
#include "common/securesession.h"

#include <QTest>

using namespace torvane;
using SecureFrame::Type;

namespace {

// Nonces that differ per call but repeat per run, so failures reproduce.
SecureSession::NonceSource CountingNonces(char seed) {
    return
        [seed, n = 0]() mutable { return QByteArray(SecureSession::kNonceSize, char(seed + n++)); };
}

struct Pair {
    SecureSession client;
    SecureSession server;
    Pair(const QByteArray& clientKey, const QByteArray& serverKey, char seed = 'a')
        : client(SecureSession::Role::Client, clientKey, CountingNonces(seed)),
          server(SecureSession::Role::Server, serverKey, CountingNonces(char(seed + 64))) {}
};

// Runs the handshake one byte at a time in both directions; returns the last errors seen.
QString Handshake(Pair& pair) {
    QByteArray toServer = pair.client.start();
    QByteArray toClient;
    while (!toServer.isEmpty() || !toClient.isEmpty()) {
        for (char byte : std::exchange(toServer, {})) {
            const auto result = pair.server.receive(QByteArray(1, byte));
            if (!result.error.isEmpty())
                return QStringLiteral("server: ") + result.error;
            toClient += result.toSend;
        }
        for (char byte : std::exchange(toClient, {})) {
            const auto result = pair.client.receive(QByteArray(1, byte));
            if (!result.error.isEmpty())
                return QStringLiteral("client: ") + result.error;
            toServer += result.toSend;
        }
    }
    return {};
}

const QByteArray kKey = SiteKeyFromText(QStringLiteral("correct horse battery staple"));

} // namespace

// The frames and the authenticated session of the secure channel.
class TestSecureChannel : public QObject {
    Q_OBJECT
private slots:
    void framesAreCutFromAnyChunking();
    void badHeadersFailOnTheirFirstBytes_data();
    void badHeadersFailOnTheirFirstBytes();
    void siteKeyIsDerivedAndStoredAsHex();
    void handshakeOpensBothSidesAndMessagesFlow();
    void wrongKeyOnEitherSideIsRefused();
    void capturedFramesCannotBeReplayedReorderedOrReflected();
    void framesOutOfStateOrDirectionAreRefused();
    void sealRefusesWhatThePeerWouldDrop();
};

void TestSecureChannel::framesAreCutFromAnyChunking() {
    const QByteArray a = SecureFrame::Encode(Type::Hello, QByteArray(32, 'x'));
    const QByteArray b = SecureFrame::Encode(Type::Report, QByteArray());
    const QByteArray c = SecureFrame::Encode(Type::SwitchCommand, QByteArray(300, '\xd0'));
    const QByteArray stream = a + b + c;
    QCOMPARE(a.first(10), QByteArray("TVSC\x01\x01\x00\x00\x00\x20", 10));

    for (int chunk : {1, 3, 10, 11, int(stream.size())}) {
        SecureFrame::Reader reader(SecureFrame::kClientReadCap);
        QList<SecureFrame::Frame> frames;
        for (qsizetype pos = 0; pos < stream.size(); pos += chunk)
            frames += reader.feed(stream.mid(pos, chunk));
        QVERIFY2(!reader.failed(), qPrintable(reader.error()));
        QCOMPARE(frames.size(), 3);
        QCOMPARE(frames[0].type, Type::Hello);
        QCOMPARE(frames[0].payload, QByteArray(32, 'x'));
        QCOMPARE(frames[1].type, Type::Report);
        QVERIFY(frames[1].payload.isEmpty());
        QCOMPARE(frames[2].payload, QByteArray(300, '\xd0'));
        QCOMPARE(frames[2].header, c.first(10));
        QCOMPARE(reader.pendingBytes(), 0);
    }

    // A truncated frame waits, without output and without error.
    SecureFrame::Reader reader(SecureFrame::kClientReadCap);
    QVERIFY(reader.feed(c.chopped(1)).isEmpty());
    QVERIFY(!reader.failed());
    QCOMPARE(reader.feed(c.right(1)).size(), 1);
}

void TestSecureChannel::badHeadersFailOnTheirFirstBytes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("cap");
    // A legacy report sent to the secure port by mistake is refused on its first byte.
    QTest::newRow("legacy report") << QByteArray("\xbc\xc6") << 4096;
    QTest::newRow("bad magic") << QByteArray("TVSX") << 4096;
    QTest::newRow("unknown version") << QByteArray("TVSC\x02", 5) << 4096;
    QTest::newRow("unknown type") << QByteArray("TVSC\x01\x7f", 6) << 4096;
    // The bound is checked on the length field, before any payload is buffered.
    QTest::newRow("over the bound") << QByteArray("TVSC\x01\x10\x00\x00\x10\x01", 10) << 4096;
    QTest::newRow("huge length") << QByteArray("TVSC\x01\x10\xff\xff\xff\xff", 10) << 262144;
}

void TestSecureChannel::badHeadersFailOnTheirFirstBytes() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, cap);
    SecureFrame::Reader reader(cap);
    QVERIFY(reader.feed(bytes).isEmpty());
    QVERIFY(reader.failed());
    QCOMPARE(reader.pendingBytes(), 0);
    // A failed reader stays failed, even when good frames follow.
    QVERIFY(reader.feed(SecureFrame::Encode(Type::Hello, QByteArray(32, 'x'))).isEmpty());
    QCOMPARE(reader.pendingBytes(), 0);

    // At exactly the bound a frame is still taken.
    SecureFrame::Reader exact(cap);
    QCOMPARE(exact.feed(SecureFrame::Encode(Type::Report, QByteArray(cap, 'r'))).size(), 1);
}

void TestSecureChannel::siteKeyIsDerivedAndStoredAsHex() {
    QCOMPARE(kKey.size(), 32);
    QCOMPARE(SiteKeyFromText(QStringLiteral("correct horse battery staple")), kKey);
    QVERIFY(SiteKeyFromText(QStringLiteral("correct horse battery staplf")) != kKey);
    QVERIFY(SiteKeyFromText(QString()).isEmpty());
    // Never the typed text, nor its bare hash.
    const QString stored = SiteKeyToStored(kKey);
    QCOMPARE(stored.size(), 64);
    QCOMPARE(SiteKeyFromStored(stored), kKey);
    QCOMPARE(SiteKeyFromStored(stored.toUpper()), kKey);
    QVERIFY(SiteKeyFromStored(stored.chopped(1)).isEmpty());
    QVERIFY(SiteKeyFromStored(stored.chopped(1) + u'g').isEmpty());
    QVERIFY(SiteKeyFromStored(QString()).isEmpty());
}

void TestSecureChannel::handshakeOpensBothSidesAndMessagesFlow() {
    Pair pair(kKey, kKey);
    QVERIFY(pair.server.start().isEmpty()); // the Client speaks first
    QCOMPARE(Handshake(pair), QString());
    QVERIFY(pair.client.isOpen() && pair.server.isOpen());
    QVERIFY(pair.client.start().isEmpty());

    // Several messages in one read, bodies of any bytes, both directions.
    const QByteArray report("\xbc\xc6\xcb\xe3\xbb\xfa\xd0\xc5\xcf\xa2"
                            "10.0.0.1; 10.0.0.53;A;1");
    QByteArray both = pair.client.seal(Type::Report, report);
    both += pair.client.seal(Type::HealthReport, QByteArray());
    auto atServer = pair.server.receive(both);
    QCOMPARE(atServer.error, QString());
    QCOMPARE(atServer.messages.size(), 2);
    QCOMPARE(atServer.messages[0].type, Type::Report);
    QCOMPARE(atServer.messages[0].body, report);
    QCOMPARE(atServer.messages[1].type, Type::HealthReport);
    QVERIFY(atServer.toSend.isEmpty());

    const QByteArray update(100000, '\n');
    auto atClient = pair.client.receive(pair.server.seal(Type::LineListUpdate, update));
    QCOMPARE(atClient.error, QString());
    QCOMPARE(atClient.messages.size(), 1);
    QCOMPARE(atClient.messages[0].body, update);
}

void TestSecureChannel::wrongKeyOnEitherSideIsRefused() {
    const QByteArray other = SiteKeyFromText(QStringLiteral("another site"));
    // A Client with the wrong key is refused before the Server proves anything.
    Pair intruder(other, kKey);
    QVERIFY(Handshake(intruder).startsWith(QStringLiteral("server: ")));
    QCOMPARE(intruder.server.state(), SecureSession::State::Failed);
    QCOMPARE(intruder.client.state(), SecureSession::State::AwaitAccept);
    QVERIFY(intruder.server.seal(Type::SwitchCommand, "x").isEmpty());

    // A host posing as the Server is found out by the Client.
    SecureSession client(SecureSession::Role::Client, kKey, CountingNonces('a'));
    SecureSession impostor(SecureSession::Role::Server, other, CountingNonces('z'));
    auto reply = impostor.receive(client.start());
    reply = impostor.receive(client.receive(reply.toSend).toSend);
    // The impostor cannot check the proof either; a forged accept made of its own key fails.
    QVERIFY(!reply.error.isEmpty());
    // A challenge before the Client said hello is refused too.
    SecureSession unstarted(SecureSession::Role::Client, kKey, CountingNonces('a'));
    QVERIFY(!unstarted.receive(SecureFrame::Encode(Type::Challenge, QByteArray(32, 'n')))
                 .error.isEmpty());
    SecureSession client3(SecureSession::Role::Client, kKey, CountingNonces('a'));
    client3.start();
    client3.receive(SecureFrame::Encode(Type::Challenge, QByteArray(32, 'n')));
    const auto forged = client3.receive(SecureFrame::Encode(Type::Accept, QByteArray(32, 'p')));
    QVERIFY(!forged.error.isEmpty());
    QVERIFY(forged.messages.isEmpty() && !forged.opened);
}

void TestSecureChannel::capturedFramesCannotBeReplayedReorderedOrReflected() {
    Pair pair(kKey, kKey);
    QCOMPARE(Handshake(pair), QString());
    const QByteArray first = pair.server.seal(Type::SwitchCommand, "switch to A");
    const QByteArray second = pair.server.seal(Type::SwitchCommand, "switch to B");

    // Reordered: the second before the first.
    {
        Pair p(kKey, kKey);
        QCOMPARE(Handshake(p), QString());
        p.server.seal(Type::SwitchCommand, "switch to A");
        const QByteArray later = p.server.seal(Type::SwitchCommand, "switch to B");
        const auto result = p.client.receive(later);
        QVERIFY(result.messages.isEmpty());
        QVERIFY(result.error.contains(QStringLiteral("counter")));
    }

    // Replayed within the connection.
    QCOMPARE(pair.client.receive(first).messages.size(), 1);
    const auto replay = pair.client.receive(first);
    QVERIFY(replay.messages.isEmpty() && !replay.error.isEmpty());
    // Once failed, nothing more is taken, not even the frame that was due.
    QVERIFY(pair.client.receive(second).messages.isEmpty());

    // Replayed into another connection with the same key: fresh nonces, other keys.
    Pair next(kKey, kKey, 'k');
    QCOMPARE(Handshake(next), QString());
    const auto crossed = next.client.receive(first);
    QVERIFY(crossed.messages.isEmpty());
    QVERIFY(crossed.error.contains(QStringLiteral("tag")));

    // Reflected: a report sent back to its Client, and a Client's frame relabelled as a switch.
    Pair mirror(kKey, kKey, 'm');
    QCOMPARE(Handshake(mirror), QString());
    const QByteArray report = mirror.client.seal(Type::Report, "report");
    QVERIFY(!mirror.client.receive(report).error.isEmpty());
    Pair mirror2(kKey, kKey, 'm');
    QCOMPARE(Handshake(mirror2), QString());
    QByteArray relabelled = mirror2.client.seal(Type::Report, "report");
    relabelled[5] = char(Type::SwitchCommand);
    QVERIFY(mirror2.client.receive(relabelled).error.contains(QStringLiteral("tag")));

    // Any changed byte fails the tag.
    Pair tamper(kKey, kKey, 't');
    QCOMPARE(Handshake(tamper), QString());
    QByteArray changed = tamper.server.seal(Type::SwitchCommand, "10.0.0.1;10.0.0.53;");
    changed[SecureFrame::kHeaderSize + SecureSession::kCounterSize] ^= 1;
    QVERIFY(tamper.client.receive(changed).error.contains(QStringLiteral("tag")));
}

void TestSecureChannel::framesOutOfStateOrDirectionAreRefused() {
    // A report before the handshake, a second hello after it, a short message frame.
    SecureSession early(SecureSession::Role::Server, kKey, CountingNonces('a'));
    QVERIFY(!early.receive(SecureFrame::Encode(Type::Report, QByteArray(40, 'r'))).error.isEmpty());

    SecureSession shortHello(SecureSession::Role::Server, kKey, CountingNonces('a'));
    QVERIFY(
        !shortHello.receive(SecureFrame::Encode(Type::Hello, QByteArray(31, 'h'))).error.isEmpty());

    Pair pair(kKey, kKey);
    QCOMPARE(Handshake(pair), QString());
    const auto again = pair.server.receive(SecureFrame::Encode(Type::Hello, QByteArray(32, 'h')));
    QVERIFY(!again.error.isEmpty() && again.toSend.isEmpty());

    Pair shortFrame(kKey, kKey);
    QCOMPARE(Handshake(shortFrame), QString());
    QVERIFY(!shortFrame.server.receive(SecureFrame::Encode(Type::Report, QByteArray(39, 'r')))
                 .error.isEmpty());

    // Good frames ahead of a bad one in the same read are still delivered; the error follows.
    Pair mixed(kKey, kKey);
    QCOMPARE(Handshake(mixed), QString());
    const auto result = mixed.server.receive(mixed.client.seal(Type::Report, "r") + "garbage");
    QCOMPARE(result.messages.size(), 1);
    QVERIFY(result.error.contains(QStringLiteral("magic")));
}

void TestSecureChannel::sealRefusesWhatThePeerWouldDrop() {
    Pair pair(kKey, kKey);
    QVERIFY(pair.client.seal(Type::Report, "r").isEmpty()); // not open yet
    QCOMPARE(Handshake(pair), QString());
    QVERIFY(pair.client.seal(Type::SwitchCommand, "x").isEmpty());
    QVERIFY(pair.server.seal(Type::Report, "x").isEmpty());
    QVERIFY(pair.client.seal(Type::Hello, QByteArray(32, 'h')).isEmpty());
    const int room =
        SecureFrame::kServerReadCap - SecureSession::kCounterSize - SecureSession::kTagSize;
    QVERIFY(pair.client.seal(Type::Report, QByteArray(room + 1, 'r')).isEmpty());
    const QByteArray fits = pair.client.seal(Type::Report, QByteArray(room, 'r'));
    QCOMPARE(pair.server.receive(fits).messages.size(), 1);
}

QTEST_GUILESS_MAIN(TestSecureChannel)
#include "test_securechannel.moc"
