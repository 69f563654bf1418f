#include "BeanstalkdService.h"

#include "BenchFailure.h"
#include "PortProbe.h"

#include <QDir>
#include <QProcessEnvironment>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int ReadyWaitMs = 15000;
} // namespace

BeanstalkdService::BeanstalkdService(const QString &program, const QString &root, const QStringList &extra,
                                     const QString &name)
    : program(program)
    , root(root)
    , extra(extra)
    , name(name)
    , process(name)
{
}

void BeanstalkdService::Start()
{
    const QDir folder(root);
    if (!folder.mkpath(QStringLiteral("binlog")))
        throw BenchFailure{QStringLiteral("cannot make %1").arg(folder.filePath(QStringLiteral("binlog")))};
    port = PortProbe::FreePort();
    const QStringList arguments = QStringList{QStringLiteral("-l"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                              QString::number(port), QStringLiteral("-b"),
                                              folder.filePath(QStringLiteral("binlog"))}
        + extra;
    process.Start(program, arguments, QProcessEnvironment::systemEnvironment(), root,
                  folder.filePath(name + QStringLiteral(".log")), false);
    try {
        PortProbe::WaitAccepting(port, ReadyWaitMs, [this] { return process.IsRunning(); }, name);
    } catch (const BenchFailure &failure) {
        throw BenchFailure{failure.message + QLatin1Char('\n') + process.LogTail()};
    }
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
