#include "DurabilityRun.h"

#include "AdderPool.h"
#include "BenchClient.h"
#include "BenchDocument.h"
#include "BenchFailure.h"
#include "ClientGroup.h"
#include "Console.h"
#include "FlushCounter.h"
#include "ZendralService.h"
#include "ZendralWire.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// The same addresses as the adders (127.0.1.x): the lists show their jobs.
constexpr int AdderBlock = 1;
constexpr int ReplyWaitMs = 300000;
constexpr int DocumentSize = 1024;
} // namespace

DurabilityRun::Result DurabilityRun::Run(const QString &program, const QString &root, int clients, int burst)
{
    Result result;
    result.burst = burst;
    result.clients = clients;
    const ZendralWire wire;
    {
        std::unique_ptr<FlushCounter> counter;
        QStringList wrapper;
        if (!FlushCounter::Program(&result.notCounted).isEmpty()) {
            counter.reset(new FlushCounter(root));
            wrapper = counter->WrapperCommand();
        }
        ZendralService service(program, root);
        try {
            service.Start(wrapper);
        } catch (const BenchFailure &failure) {
            if (!counter)
                throw;
            // perf could not count here (no permission for the tracepoints,
            // say): the durability half of the run still stands without it.
            result.notCounted = QStringLiteral("perf could not run the service: %1").arg(failure.message.simplified().left(300));
            counter.reset();
            service.Start();
        }
        AdderPool adders(wire, clients, BenchDocument::Make(DocumentSize, 1));
        adders.Open(service.Port());
        Console::Progress(QStringLiteral("Zendral: burst of %1 adds, then kill -9").arg(burst));
        if (counter)
            counter->Enable();
        // Without perf the service's own count of its journal flushes stands in.
        const qint64 journalBefore = counter ? -1 : service.JournalFlushes();
        adders.Run(burst);
        if (counter)
            counter->Disable();
        const qint64 journalAfter = journalBefore < 0 ? -1 : service.JournalFlushes();
        if (journalBefore >= 0 && journalAfter >= journalBefore) {
            result.flushes.insert(QStringLiteral("journal fdatasync"), journalAfter - journalBefore);
            result.flushesByService = true;
        }
        result.accepted = adders.Accepted();
        result.refused = adders.Refused();
        service.KillHard(); // kill -9 of the service itself, never of its counter
        if (counter)
            result.flushes = counter->Read();
        // The connections of the killed service go with `adders`.
        const QSet<QString> listed = [&] {
            ZendralService restarted(program, root);
            restarted.Start();
            return ListedIds(restarted, clients);
        }();
        result.listedAfterRestart = listed.size();
        for (const QString &id : adders.AcceptedIds()) {
            if (!listed.contains(id))
                result.lost << id;
        }
    }
    return result;
}

QSet<QString> DurabilityRun::ListedIds(ZendralService &service, int clients)
{
    const ZendralWire wire;
    ClientGroup group(wire, clients, AdderBlock);
    group.Open(service.Port());
    QSet<QString> ids;
    bool refused = false;
    QString refusal;
    for (BenchClient *client : group.Clients()) {
        QObject::connect(client, &BenchClient::replied, &group,
                         [&](BenchClient *, bool accepted, const QString &content, qint64) {
                             if (!accepted) {
                                 refused = true;
                                 refusal = content;
                                 return;
                             }
                             const QJsonArray jobs = QJsonDocument::fromJson(content.toUtf8()).array();
                             for (const QJsonValue &job : jobs)
                                 ids.insert(job.toObject().value(QStringLiteral("job_id")).toString());
                         });
        client->Send(wire.ListRequest());
    }
    group.WaitIdle(ReplyWaitMs, QStringLiteral("the lists after the restart"));
    if (refused)
        throw BenchFailure{QStringLiteral("GET_NESTER_JOB_LIST refused after the restart: %1").arg(refusal)};
    return ids;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
