#include <QtTest>

#include "world/worldformat.h"

class tst_Format : public QObject
{
    Q_OBJECT

private slots:
    void stripComment_data();
    void stripComment();
};

void tst_Format::stripComment_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no-comment") << "NAME Bob" << "NAME Bob";
    QTest::newRow("comment-inside-value") << "NAME a//b" << "NAME a";
    QTest::newRow("only-comment") << "// x" << "";
    QTest::newRow("blank-before-comment-stays") << "NAME Bob  // x" << "NAME Bob  ";
}

void tst_Format::stripComment()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(world::stripComment(input), expected);
    QCOMPARE(world::decode(world::stripComment(QByteArrayView(world::encode(input)))), expected);
}

QTEST_APPLESS_MAIN(tst_Format)
#include "tst_format.moc"
