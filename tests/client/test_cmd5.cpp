#include "client/cmd5.h"

#include <QtTest>

using namespace torvane;
using namespace torvane::client;

class TestCmd5 : public QObject {
    Q_OBJECT

private slots:
    void rfc1321Suite_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << ""
                               << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("a") << "a"
                           << "0cc175b9c0f1b6a831c399e269772661";
        QTest::newRow("abc") << "abc"
                             << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("message digest") << "message digest"
                                        << "f96b697d7cb7938d525a2f31aaf161d0";
        QTest::newRow("alphabet") << "abcdefghijklmnopqrstuvwxyz"
                                  << "c3fcd3d76192e4007dfb496cca67e13b";
        QTest::newRow("alphanumeric")
            << "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
            << "d174ab98d277d9f5a5611c2c9f419d9f";
        QTest::newRow("digits") << QString("1234567890").repeated(8)
                                << "57edf4a22be3c955ac49da2e2107b67a";
    }
    void rfc1321Suite() {
        QFETCH(QString, message);
        QFETCH(QString, digest);
        QCOMPARE(Cmd5().md5(message), digest);
    }

    void paddingBoundaries() {
        // 55, 56 and 64 bytes sit on either side of the length field's block boundary.
        QCOMPARE(Cmd5().md5(QString(55, 'a')), QString("ef1772b6dff9a122358552954ad0df65"));
        QCOMPARE(Cmd5().md5(QString(56, 'a')), QString("3b0c8ac703f828b04c6c197006d17218"));
        QCOMPARE(Cmd5().md5(QString(64, 'a')), QString("014842d480b571495a4a0363793f7367"));
    }

    void onlyTheLowByteOfACharacterCounts() {
        const Cmd5 md5;
        QCOMPARE(md5.md5(QString(QChar(0x4E2D))), md5.md5("-"));
        QCOMPARE(md5.md5(QString(QChar(0x4E2D))), QString("336d5ebc5436534e61d16e63ddfca327"));
        // A CJK character and the Latin-1 character with the same low byte.
        QCOMPARE(md5.md5(QString(QChar(0x4EE9))), md5.md5(QString(QChar(0x00E9))));
    }

    void caseMattersAndOutputIsLowerCase() {
        const Cmd5 md5;
        QVERIFY(md5.md5("Password") != md5.md5("password"));
        const QString digest = md5.md5("Password");
        QCOMPARE(digest.size(), 32);
        QCOMPARE(digest, digest.toLower());
    }
};

QTEST_GUILESS_MAIN(TestCmd5)
#include "test_cmd5.moc"
