#pragma once

#include "ManagedProcess.h"

#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {
namespace Bench {

// One beanstalkd with its binlog ("-b") in `root`, listening on 127.0.0.1 on
// a free port; `extra` holds further options ("-f0": flush before every
// reply). zendral-floor takes the same options and runs here too; `name`
// says which it is in messages.
//
// Thread: main thread only.
class BeanstalkdService
{
public:
    BeanstalkdService(const QString &program, const QString &root, const QStringList &extra,
                      const QString &name = QStringLiteral("beanstalkd"));

    // Starts it and waits until it accepts connections; throws BenchFailure.
    void Start();
    quint16 Port() const { return port; }
    qint64 Pid() const { return process.Pid(); }

private:
    QString program;
    QString root;
    QStringList extra;
    QString name;
    quint16 port = 0;
    ManagedProcess process;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
