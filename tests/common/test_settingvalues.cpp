#include "common/linefile.h"
#include "common/settingvalues.h"

#include <QtTest>

using namespace torvane;

// The one reading of each settings text: both programs and the wire must agree on it.
class TestSettingValues : public QObject {
    Q_OBJECT
private slots:
    void portTextsAreDigitsInRange_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << "15200" << 15200;
        QTest::newRow("blanks around") << " 8080\t" << 8080;
        QTest::newRow("leading zeros") << "00080" << 80;
        QTest::newRow("largest") << "65535" << 65535;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("too large") << "65536" << 0;
        QTest::newRow("huge") << "99999999999999999999999" << 0;
        QTest::newRow("sign") << "+80" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("letter") << "80a" << 0;
        QTest::newRow("inner blank") << "80 80" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("full-width digits") << QStringLiteral("８０") << 0;
    }
    void portTextsAreDigitsInRange() {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(int(PortFromText(text)), port);
    }

    void flagsReadAsTheNumberOne() {
        QVERIFY(FlagIsOn(QStringLiteral("1")));
        QVERIFY(FlagIsOn(QStringLiteral(" 1 ")));
        QVERIFY(FlagIsOn(QStringLiteral("01")));
        QVERIFY(!FlagIsOn(QStringLiteral("0")));
        QVERIFY(!FlagIsOn(QStringLiteral("2")));
        QVERIFY(!FlagIsOn(QStringLiteral("yes")));
        QVERIFY(!FlagIsOn(QString()));
        QCOMPARE(FlagText(true), QStringLiteral("1"));
        QCOMPARE(FlagText(false), QStringLiteral("0"));
    }

    void lineNamesThatWouldNotComeBackAreRefused() {
        QVERIFY(NameSurvivesFile(QStringLiteral("电信 1")));
        for (const char* bad : {"a;b", "a|b", "a\rb", "a\nb"})
            QVERIFY2(NameBreaksRecord(QString::fromLatin1(bad)), bad);
        QVERIFY(!NameStorableInGbk(QStringLiteral("线路😀")));
        QVERIFY(!NameSurvivesFile(QStringLiteral("线路😀")));
    }
};

QTEST_MAIN(TestSettingValues)
#include "test_settingvalues.moc"
