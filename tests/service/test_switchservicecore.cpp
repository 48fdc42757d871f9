#include "service/core/switchservicecore.h"

#include <QTest>

using namespace torvane;
using namespace torvane::service;

namespace {

class RecordingApplier : public SwitchApplier {
public:
    AdapterSettings inForce{{}, {}, "10.0.0.1", "10.0.0.53", {}};
    QList<AdapterSettings> applied;
    SwitchReply answer{SwitchFailure::None, {}};

    AdapterSettings current() override { return inForce; }
    SwitchReply apply(const AdapterSettings& settings) override {
        applied.append(settings);
        if (answer.failure == SwitchFailure::None)
            inForce = settings;
        return answer;
    }
};

const AdapterSettings kLineB{{}, {}, "10.0.1.1", "10.0.1.53", "10.0.1.54"};
const SwitchCaller kAlice{"alice", 1000, 4242, ":1.17"};

} // namespace

// The privileged service's decisions: what reaches the system and what the log says.
class TestSwitchServiceCore : public QObject {
    Q_OBJECT
private slots:
    void appliesAndLogsWhoFromWhatToWhat();
    void refusesBeforeTouchingTheSystem();
    void limitsEachCallerAndTheMachine();
    void reportsTheSystemsRefusal();

private:
    QStringList m_log;
    qint64 m_now = 0;
    SwitchServiceCore::LogSink sink() {
        return [this](const QString& line) { m_log.append(line); };
    }
    SwitchServiceCore::Clock clock() {
        return [this] { return m_now; };
    }
};

void TestSwitchServiceCore::appliesAndLogsWhoFromWhatToWhat() {
    m_log.clear();
    RecordingApplier applier;
    SwitchServiceCore core(applier, sink(), {}, clock());
    const auto reply = DecodeSwitchReply(core.handle(EncodeSwitchRequest(kLineB), kAlice, true));
    QVERIFY(reply);
    QCOMPARE(reply->failure, SwitchFailure::None);
    QCOMPARE(applier.applied, QList<AdapterSettings>{kLineB});
    QCOMPARE(m_log.size(), 1);
    QCOMPARE(m_log.first(), QStringLiteral("applied switch by alice, uid 1000, pid 4242, :1.17 "
                                           "from gateway 10.0.0.1, DNS 10.0.0.53 "
                                           "to gateway 10.0.1.1, DNS 10.0.1.53 10.0.1.54"));
}

void TestSwitchServiceCore::refusesBeforeTouchingTheSystem() {
    m_log.clear();
    RecordingApplier applier;
    SwitchServiceCore core(applier, sink(), {}, clock());
    struct Case {
        QByteArray request;
        bool authorized;
        SwitchFailure expected;
    };
    const QList<Case> cases{
        {"TORVANE-SWITCH 1\ngateway=1.2.3.4\n", true, SwitchFailure::InvalidSettings},
        {EncodeSwitchRequest(kLineB), false, SwitchFailure::NoPermission},
        {EncodeSwitchRequest({{}, {}, "10.0.1.1", "", ""}), true, SwitchFailure::InvalidSettings},
        {EncodeSwitchRequest({"10.0.1.7", "255.255.255.0", "10.0.2.1", "10.0.1.53", ""}), true,
         SwitchFailure::GatewayOutsideNewSubnet},
        {EncodeSwitchRequest({{}, {}, "10.0.01.1", "10.0.1.53", ""}), true,
         SwitchFailure::InvalidSettings},
    };
    for (const Case& c : cases) {
        const auto reply = DecodeSwitchReply(core.handle(c.request, kAlice, c.authorized));
        QVERIFY(reply);
        QCOMPARE(reply->failure, c.expected);
    }
    QVERIFY(applier.applied.isEmpty());
    QCOMPARE(m_log.size(), cases.size()); // every refusal is logged, with the caller
    for (const QString& line : m_log)
        QVERIFY2(line.startsWith(QLatin1String("refused ")) && line.contains("uid 1000"),
                 qPrintable(line));
}

void TestSwitchServiceCore::limitsEachCallerAndTheMachine() {
    RecordingApplier applier;
    SwitchServiceCore core(applier, sink(), {3, 10'000, 5}, clock());
    m_now = 1'000;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(core.handleSettings(kLineB, kAlice, true).failure, SwitchFailure::None);
    QCOMPARE(core.handleSettings(kLineB, kAlice, true).failure, SwitchFailure::RateLimited);
    // Another user has slots of their own, until the machine-wide limit.
    const SwitchCaller bob{"bob", 1001, 1, {}};
    QCOMPARE(core.handleSettings(kLineB, bob, true).failure, SwitchFailure::None);
    QCOMPARE(core.handleSettings(kLineB, bob, true).failure, SwitchFailure::None);
    QCOMPARE(core.handleSettings(kLineB, bob, true).failure, SwitchFailure::RateLimited);
    // The window slides.
    m_now = 11'001;
    QCOMPARE(core.handleSettings(kLineB, kAlice, true).failure, SwitchFailure::None);
    QCOMPARE(applier.applied.size(), 6);
}

void TestSwitchServiceCore::reportsTheSystemsRefusal() {
    m_log.clear();
    RecordingApplier applier;
    applier.answer = {SwitchFailure::RouteRefused,
                      QStringLiteral("RTM_NEWROUTE: Network unreachable")};
    SwitchServiceCore core(applier, sink(), {}, clock());
    const SwitchReply reply = core.handleSettings(kLineB, kAlice, true);
    QCOMPARE(reply, applier.answer);
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().startsWith(QLatin1String("failed switch by alice")));
    QVERIFY(m_log.first().endsWith(QLatin1String(": RTM_NEWROUTE: Network unreachable")));
}

QTEST_GUILESS_MAIN(TestSwitchServiceCore)
#include "test_switchservicecore.moc"
