#include "common/failure.h"

#include <QTest>

#include <functional>
#include <new>
#include <stdexcept>

Q_DECLARE_METATYPE(std::function<void()>)

class TestFailure : public QObject
{
    Q_OBJECT
private slots:
    void everyThrowBecomesAFailure_data();
    void everyThrowBecomesAFailure();
};

void TestFailure::everyThrowBecomesAFailure_data()
{
    QTest::addColumn<std::function<void()>>("thrower");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::newRow("Failure") << std::function<void()>([] {
        throw Failure{53, QStringLiteral("File not found")};
    }) << 53 << "File not found";
    QTest::newRow("out of memory") << std::function<void()>([] { throw std::bad_alloc(); })
                                   << int(FailureCode::OutOfMemory) << "Out of memory";
    QTest::newRow("library exception") << std::function<void()>([] { throw std::runtime_error("disk on fire"); })
                                       << int(FailureCode::Internal) << "disk on fire";
    QTest::newRow("anything else") << std::function<void()>([] { throw 42; }) << int(FailureCode::Internal)
                                   << "Unexpected internal error";
}

void TestFailure::everyThrowBecomesAFailure()
{
    QFETCH(std::function<void()>, thrower);
    QFETCH(int, number);
    QFETCH(QString, description);
    try {
        thrower();
        QFAIL("nothing was thrown");
    } catch (...) {
        const Failure failure = currentFailure();
        QCOMPARE(failure.number, number);
        QCOMPARE(failure.description, description);
    }
}

QTEST_GUILESS_MAIN(TestFailure)
#include "tst_failure.moc"
