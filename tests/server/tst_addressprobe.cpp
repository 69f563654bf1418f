// The outward address probe with a host name: Qt's resolver answers on the
// listener's thread. A process of its own, so that no earlier probe has
// filled the process-wide cache.
#include "LocalManager.h"

#include <QStandardPaths>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace Orvane::Zendral;

class AddressProbeTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void lookupAnswersOnListenerThread();
};

void AddressProbeTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // Resolved from the hosts file: no traffic beyond this machine.
    qputenv("ZENDRAL_PROBE_HOST", "localhost");
}

// One sequence, as the address is cached for the process once found:
// a listener that goes while its lookup is pending leaves no probe marked
// as running; on the listener's own thread a call cannot wait (the answer
// comes through this thread's event loop) and finds nothing yet; a caller
// on another thread waits and gets the answer.
void AddressProbeTest::lookupAnswersOnListenerThread()
{
    {
        LocalManager gone(nullptr);
        QCOMPARE(gone.localHostIP(0), QString()); // the lookup is only queued
    }
    LocalManager listener(nullptr);
    QCOMPARE(listener.localHostIP(1000), QString());
    std::atomic<bool> done{false};
    QString answer;
    std::thread caller([&]() {
        for (int i = 0; i < 10 && answer.isEmpty(); ++i)
            answer = listener.localHostIP(1000);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000); // the event loop delivers the answer meanwhile
    caller.join();
    QCOMPARE(answer, QStringLiteral("127.0.0.1"));
    QCOMPARE(listener.localHostIP(0), QStringLiteral("127.0.0.1"));
}

QTEST_MAIN(AddressProbeTest)
#include "tst_addressprobe.moc"
