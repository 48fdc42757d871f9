#include "server/clientlistmodel.h"
#include "server/connectionhub.h"

#include <QAbstractItemModelTester>
#include <QtTest>

#include <memory>

using namespace torvane;
using namespace torvane::server;

using ClientId = ConnectionHub::ClientId;

// The hub's signals are driven directly here: the model's batching and bookkeeping are what is
// under test, the sockets are covered by the hub's own test.
class TestClientListModel : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionHub> m_hub;
    std::unique_ptr<ClientListModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    void connectClients(ClientId from, ClientId to) {
        for (ClientId id = from; id <= to; ++id)
            emit m_hub->clientConnected(id, QStringLiteral("192.168.0.%1").arg(id % 250));
    }
    QString cell(int row, int column) const {
        return m_model->data(m_model->index(row, column), Qt::DisplayRole).toString();
    }
    QList<ClientId> shownIds() const {
        QList<ClientId> ids;
        for (int r = 0; r < m_model->rowCount(); ++r)
            ids << m_model->clientIdAt(r);
        return ids;
    }

private slots:
    void init() {
        m_hub = std::make_unique<ConnectionHub>();
        m_model = std::make_unique<ClientListModel>(m_hub.get());
        m_tester = std::make_unique<QAbstractItemModelTester>(
            m_model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }
    void cleanup() {
        m_tester.reset();
        m_model.reset();
        m_hub.reset();
    }

    void headersAndEmptyState() {
        QCOMPARE(m_model->columnCount(), 4);
        const QStringList headers{"客户机IP", "当前网关", "当前DNS", "对应配置名称"};
        for (int c = 0; c < 4; ++c)
            QCOMPARE(m_model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                     headers.at(c));
        QCOMPARE(m_model->rowCount(), 0);
        QCOMPARE(m_model->clientIdAt(0), ClientId(0));
        QCOMPARE(m_model->clientIdAt(-1), ClientId(0));
        QVERIFY(m_model->addressAt(3).isEmpty());
    }

    void arrivalsAreBatchedButCountedAtOnce() {
        QSignalSpy counts(m_model.get(), &ClientListModel::countChanged);
        QSignalSpy inserted(m_model.get(), &QAbstractItemModel::rowsInserted);
        connectClients(1, 1000);
        QCOMPARE(counts.size(), 1000);
        QCOMPARE(counts.last().at(0).toInt(), 1000);
        QCOMPARE(m_model->clientCount(), 1000);
        QCOMPARE(m_model->rowCount(), 0);
        QCOMPARE(inserted.size(), 0);
        // The batch timer shows them, in one insertion, in accept order.
        QTRY_COMPARE(m_model->rowCount(), 1000);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(m_model->clientIdAt(0), ClientId(1));
        QCOMPARE(m_model->clientIdAt(999), ClientId(1000));
        QCOMPARE(m_model->addressAt(4), QStringLiteral("192.168.0.5"));
    }

    void batchesAreAtLeastATenthOfASecondApart() {
        // Only a lower bound is checked: a slow machine only spaces them further.
        QList<qint64> shownAt;
        QElapsedTimer clock;
        clock.start();
        QObject context;
        connect(m_model.get(), &QAbstractItemModel::rowsInserted, &context,
                [&] { shownAt << clock.elapsed(); });
        ClientId next = 1;
        while (shownAt.size() < 4 && clock.elapsed() < 5000) {
            connectClients(next, next);
            ++next;
            QTest::qWait(5);
        }
        QCOMPARE(shownAt.size(), 4);
        for (int i = 1; i < shownAt.size(); ++i)
            QVERIFY2(shownAt[i] - shownAt[i - 1] >= ClientListModel::kFlushIntervalMs,
                     qPrintable(QStringLiteral("%1 ms apart").arg(shownAt[i] - shownAt[i - 1])));
        m_model->flush();
        QCOMPARE(m_model->rowCount(), static_cast<int>(next - 1));
    }

    void reportsGoToTheirOwnRowEvenWithEqualAddresses() {
        emit m_hub->clientConnected(1, "10.0.0.7");
        emit m_hub->clientConnected(2, "10.0.0.7");
        // A report before the row is shown travels with the row.
        emit m_hub->clientReported(2, "192.168.0.1", " 192.0.2.53", "电信");
        m_model->flush();
        QCOMPARE(cell(0, 1), QString());
        QCOMPARE(cell(1, 1), QStringLiteral("192.168.0.1"));
        QCOMPARE(cell(1, 2), QStringLiteral(" 192.0.2.53"));
        QCOMPARE(cell(1, 3), QStringLiteral("电信"));

        QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
        emit m_hub->clientReported(1, "10.0.0.1", " ", "");
        emit m_hub->clientReported(1, "10.0.0.2", " ", "B"); // the latest wins
        QCOMPARE(cell(0, 1), QString());                     // not before the batch
        m_model->flush();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(cell(0, 0), QStringLiteral("10.0.0.7"));
        QCOMPARE(cell(0, 1), QStringLiteral("10.0.0.2"));
        QCOMPARE(cell(0, 2), QStringLiteral(" "));
        QCOMPARE(cell(0, 3), QStringLiteral("B"));
        QCOMPARE(cell(1, 1), QStringLiteral("192.168.0.1"));
        // Unknown ids change nothing.
        emit m_hub->clientReported(77, "1.1.1.1", " 2.2.2.2", "X");
        m_model->flush();
        QCOMPARE(changed.size(), 1);
    }

    void departuresRemoveExactlyTheirRows() {
        connectClients(1, 10);
        m_model->flush();
        QSignalSpy counts(m_model.get(), &ClientListModel::countChanged);
        for (ClientId id : {2, 3, 7, 10})
            emit m_hub->clientClosed(id, QString());
        emit m_hub->clientFailed(5, QString());
        emit m_hub->clientClosed(5, QString()); // a second end of the same one counts once
        emit m_hub->clientClosed(99, QString());
        QCOMPARE(counts.size(), 5);
        QCOMPARE(m_model->clientCount(), 5);
        QCOMPARE(m_model->rowCount(), 10);
        // A report of a leaving row is not applied.
        emit m_hub->clientReported(3, "1.1.1.1", " ", "");
        m_model->flush();
        QCOMPARE(shownIds(), (QList<ClientId>{1, 4, 6, 8, 9}));
        QCOMPARE(m_model->rowOf(4), 1);
        QCOMPARE(m_model->rowOf(3), -1);

        // Arrived and gone within one batch: never shown, counted back down.
        connectClients(11, 12);
        emit m_hub->clientClosed(11, QString());
        QCOMPARE(m_model->clientCount(), 6);
        m_model->flush();
        QCOMPARE(shownIds(), (QList<ClientId>{1, 4, 6, 8, 9, 12}));
    }

    void manyScatteredDeparturesStayConsistent() {
        connectClients(1, 2000);
        m_model->flush();
        QList<ClientId> expected;
        for (ClientId id = 1; id <= 2000; ++id) {
            if (id % 3 == 0)
                emit m_hub->clientFailed(id, QString());
            else
                expected << id;
        }
        emit m_hub->clientReported(1999, "9.9.9.9", " ", "Z");
        m_model->flush();
        QCOMPARE(shownIds(), expected);
        QCOMPARE(m_model->clientCount(), expected.size());
        QCOMPARE(cell(m_model->rowOf(1999), 1), QStringLiteral("9.9.9.9"));
    }

    void allClosedClearsAtOnce() {
        connectClients(1, 5);
        m_model->flush();
        connectClients(6, 7);
        emit m_hub->clientClosed(2, QString());
        QSignalSpy counts(m_model.get(), &ClientListModel::countChanged);
        m_hub->closeAllConnections();
        QCOMPARE(m_model->rowCount(), 0);
        QCOMPARE(m_model->clientCount(), 0);
        QCOMPARE(counts.size(), 1);
        QCOMPARE(counts.at(0).at(0).toInt(), 0);
        m_model->flush();
        QCOMPARE(m_model->rowCount(), 0);
        // Ids start again after a close-all.
        connectClients(1, 1);
        m_model->flush();
        QCOMPARE(shownIds(), (QList<ClientId>{1}));
    }
};

QTEST_GUILESS_MAIN(TestClientListModel)
#include "test_clientlistmodel.moc"
