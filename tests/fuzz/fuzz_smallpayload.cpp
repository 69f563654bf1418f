// The payloads of the requests that carry a job id, a name or a move step
// (MOVE_NESTER_JOB_STEP, REMOVE_NESTER_JOB, GET_NESTER_JOB_LIST,
// PICKUP_NESTER_JOB) against a job service with one job: the first byte
// chooses the request, the rest is its payload. Every reply is a refusal
// unless the payload names the job; a list is a JSON array; the queue never
// holds more than the one job.
#include "FuzzSupport.h"
#include "LocalServer.h"
#include "SafeJson.h"
#include "ServiceSettings.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QStandardPaths>

using namespace Orvane::Zendral;

namespace {

// A service in the target's own temporary folder, made once for the run.
LocalServer &Service()
{
    static QTemporaryDir *folder = FuzzSupport::FolderWithJobFile();
    static LocalServer *server = [] {
        qputenv("HOME", folder->path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", folder->filePath(QStringLiteral("data")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", folder->filePath(QStringLiteral("config")).toLocal8Bit());
        static int argc = 1;
        static char name[] = "fuzz_smallpayload";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
        QStandardPaths::setTestModeEnabled(true);
        return new LocalServer(nullptr, {}, ServiceSettings::Defaults());
    }();
    return *server;
}

// The payload as the session hands it over: the bytes up to the first NUL.
QString ToText(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LocalServer &server = Service();
    if (server.Jobs().isEmpty()) {
        const Reply added = server.AddNesterJob(R"({"job_name":"job.aex","work_data":"PE0vPg==","time":5})",
                                                QStringLiteral("127.0.0.1"));
        FUZZ_CHECK(added.first);
    }
    if (size == 0)
        return 0;
    const QByteArray payload = FuzzSupport::Bytes(data + 1, size - 1);
    Reply reply;
    switch (data[0] % 4) {
    case 0:
        reply = server.MoveNesterJob(payload);
        break;
    case 1:
        reply = server.RemoveNesterJob(ToText(payload));
        break;
    case 2:
        reply = server.GetNesterJobList(QStringLiteral("127.0.0.1"), ToText(payload));
        FUZZ_CHECK(reply.first);
        FUZZ_CHECK(SafeJson::Parse(reply.second).isArray());
        break;
    default:
        reply = server.PickUpNesterJob(ToText(payload));
        break;
    }
    QCoreApplication::processEvents();
    FUZZ_CHECK(server.Jobs().size() <= 1);
    return 0;
}
