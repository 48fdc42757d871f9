#include "client/gatewayping.h"
#include "client/systemlineprober.h"
#include "common/dnsmessage.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

#include <optional>

using namespace torvane;
using namespace torvane::client;

namespace {
// How the local DNS server answers a query.
enum class Reply { Address, OtherIdFirst, NoSuchName, Silence };

// A DNS server on 127.0.0.1 that answers every query the way it is told.
class Responder : public QObject {
public:
    Reply reply = Reply::Address;
    QUdpSocket socket;
    QByteArray lastQuery;

    Responder() {
        socket.bind(QHostAddress::LocalHost, 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram query = socket.receiveDatagram();
                lastQuery = query.data();
                answer(query);
            }
        });
    }

    void answer(const QNetworkDatagram& query) {
        QByteArray out = query.data();
        if (out.size() < 12)
            return;
        out[2] = static_cast<char>(0x81); // response, recursion desired
        out[3] = static_cast<char>(reply == Reply::NoSuchName ? 0x83 : 0x80);
        switch (reply) {
        case Reply::Silence:
            return;
        case Reply::Address:
        case Reply::OtherIdFirst:
            out[7] = 1;
            out.append("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x01", 16);
            break;
        case Reply::NoSuchName:
            break;
        }
        if (reply == Reply::OtherIdFirst) {
            QByteArray stray = out;
            stray[0] = static_cast<char>(stray[0] ^ 0x5a);
            socket.writeDatagram(query.makeReply(stray));
        }
        socket.writeDatagram(query.makeReply(out));
    }
};

std::optional<ProbeResult> Probe(SystemLineProber& prober, const QString& gateway,
                                 const QString& dns) {
    std::optional<ProbeResult> result;
    bool immediate = true;
    prober.probe(gateway, dns, [&](const ProbeResult& r) {
        QVERIFY(!immediate); // never from inside probe()
        result = r;
    });
    immediate = false;
    (void)QTest::qWaitFor([&] { return result.has_value(); }, 5000);
    return result;
}
} // namespace

Q_DECLARE_METATYPE(Reply)

// The real probes on loopback: a DNS server of the test's own on 127.0.0.1, the echo to
// 127.0.0.1 where this user may send one, and the TCP answer where not.
class TestLineProber : public QObject {
    Q_OBJECT
private slots:
    void dnsIsJudgedByTheAnswer_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("ok");
        QTest::newRow("an address") << Reply::Address << true;
        QTest::newRow("a stray id first, then the answer") << Reply::OtherIdFirst << true;
        // A refusal is told at once (the verdicts on each kind of answer: test_dnsmessage).
        QTest::newRow("no such name") << Reply::NoSuchName << false;
        QTest::newRow("silence") << Reply::Silence << false;
    }
    void dnsIsJudgedByTheAnswer() {
        QFETCH(Reply, reply);
        QFETCH(bool, ok);
        Responder responder;
        responder.reply = reply;
        SystemLineProber prober;
        prober.setDnsPort(responder.socket.localPort());
        prober.setProbeName(QStringLiteral("probe.example.cn"));
        const auto result = Probe(prober, QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"));
        QVERIFY(result);
        QCOMPARE(result->dnsOk, ok);
        // The query asked for the name set, with an id of its own.
        QCOMPARE(responder.lastQuery.mid(2),
                 EncodeDnsQuery(0, QStringLiteral("probe.example.cn")).mid(2));
        if (reply == Reply::Silence) {
            // The time waited is what is told; the reason names the server and the name.
            QVERIFY(result->dnsMs >= SystemLineProber::kDnsTimeoutMs * 9 / 10);
            QVERIFY2(
                result->reason.contains(QStringLiteral("DNS 127.0.0.1 无法解析 probe.example.cn")),
                qPrintable(result->reason));
        } else {
            QVERIFY(result->dnsMs < SystemLineProber::kDnsTimeoutMs);
        }
    }

    void unusableAddressesFailAtOnceWithAReason() {
        SystemLineProber prober;
        QElapsedTimer clock;
        clock.start();
        const auto result = Probe(prober, QStringLiteral("10.0.0"), QString());
        QVERIFY(result);
        QVERIFY(!result->gatewayOk && !result->dnsOk);
        QVERIFY(clock.elapsed() < 500);
        QCOMPARE(result->reason,
                 QStringLiteral("网关 10.0.0 不通，DNS (无) 无法解析 www.baidu.com"));
    }

    void echoFromLoopback() {
        GatewayPing ping;
        QSignalSpy finished(&ping, &GatewayPing::finished);
        ping.start(QHostAddress::LocalHost, 1000);
        QVERIFY(finished.isEmpty());
        QVERIFY(finished.wait(3000));
        if (ping.method() == GatewayPing::Method::TcpConnect)
            QSKIP("ICMP sockets are closed to this user (net.ipv4.ping_group_range); the TCP "
                  "answer is checked in tcpAnswerCountsAcceptAndRefusal");
        QCOMPARE(finished.first().first().toBool(), true);
    }

    void tcpAnswerCountsAcceptAndRefusal() {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        GatewayPing ping;
        QSignalSpy finished(&ping, &GatewayPing::finished);
        ping.forceTcp(listener.serverPort());
        ping.start(QHostAddress::LocalHost, 1000);
        QVERIFY(finished.wait(3000));
        QCOMPARE(ping.method(), GatewayPing::Method::TcpConnect);
        QCOMPARE(finished.takeFirst().first().toBool(), true);
        // A refusal is an answer too: the host is there.
        const quint16 closed = listener.serverPort();
        listener.close();
        ping.forceTcp(closed);
        ping.start(QHostAddress::LocalHost, 1000);
        QVERIFY(finished.wait(3000));
        QCOMPARE(finished.takeFirst().first().toBool(), true);
        // A check that is started again drops the first one's outcome.
        ping.start(QHostAddress::LocalHost, 1000);
        ping.start(QHostAddress::LocalHost, 1000);
        QVERIFY(finished.wait(3000));
        QTest::qWait(100);
        QCOMPARE(finished.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLineProber)
#include "test_lineprober.moc"
