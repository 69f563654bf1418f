#include "ClusterSettings.h"

#include "ServiceConfig.h"

#include <QFile>
#include <QHostInfo>
#include <QRegularExpression>
#include <QStringList>

namespace Orvane {
namespace Zendral {

namespace {

const char kPasswordVariable[] = "ZENDRAL_STORE_PASSWORD";

} // namespace

bool ClusterSettings::ParseConnection(const QString &text, QList<QPair<QByteArray, QByteArray>> *parameters,
                                      QString *error)
{
    // Names as the settings have them, mapped to libpq's keywords.
    static const QList<QPair<QString, QByteArray>> known{
        {QStringLiteral("host"), "host"},       {QStringLiteral("port"), "port"},
        {QStringLiteral("database"), "dbname"}, {QStringLiteral("dbname"), "dbname"},
        {QStringLiteral("user"), "user"},       {QStringLiteral("sslmode"), "sslmode"}};
    const QStringList items = text.split(QRegularExpression(QStringLiteral("[\\s,;]+")), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const int equals = item.indexOf(QLatin1Char('='));
        const QString key = item.left(equals).trimmed().toLower();
        if (equals <= 0) {
            *error = QStringLiteral("store/connection: \"%1\" is not key=value").arg(item);
            return false;
        }
        if (key == QLatin1String("password")) {
            *error = QStringLiteral("store/connection must not hold the password: use store/password_file or %1")
                         .arg(QLatin1String(kPasswordVariable));
            return false;
        }
        QByteArray keyword;
        for (const auto &entry : known) {
            if (entry.first == key)
                keyword = entry.second;
        }
        if (keyword.isEmpty()) {
            *error = QStringLiteral("store/connection: unknown key \"%1\" (host, port, database, user, sslmode)").arg(key);
            return false;
        }
        parameters->append(qMakePair(keyword, item.mid(equals + 1).trimmed().toUtf8()));
    }
    return true;
}

ClusterSettings ClusterSettings::From(const ServiceConfig &config)
{
    ClusterSettings result;
    if (!ParseConnection(config.storeConnection, &result.parameters, &result.error))
        return result;
    QByteArray password;
    const QString passwordFile = config.storePasswordFile;
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("store/password_file: cannot read %1: %2").arg(passwordFile, file.errorString());
            return result;
        }
        password = file.readLine().trimmed();
    } else {
        password = qgetenv(kPasswordVariable);
    }
    if (!password.isEmpty())
        result.parameters.append(qMakePair(QByteArray("password"), password));
    // Failures show within seconds: a connection that cannot be made, and a
    // server that went away without closing the connection.
    result.parameters.append(qMakePair(QByteArray("connect_timeout"), QByteArray("3")));
    result.parameters.append(qMakePair(QByteArray("keepalives"), QByteArray("1")));
    result.parameters.append(qMakePair(QByteArray("keepalives_idle"), QByteArray("5")));
    result.parameters.append(qMakePair(QByteArray("keepalives_interval"), QByteArray("2")));
    result.parameters.append(qMakePair(QByteArray("keepalives_count"), QByteArray("3")));
    result.leaseSeconds = config.storeLeaseSeconds;
    result.failures = FailurePolicy::From(config);
    result.node = config.storeNode.trimmed();
    if (result.node.isEmpty())
        result.node = QHostInfo::localHostName();
    if (result.node.isEmpty())
        result.node = QStringLiteral("zendral");
    // The server's session list names the node each session belongs to.
    result.parameters.append(qMakePair(QByteArray("application_name"), ("zendral " + result.node).toUtf8()));
    return result;
}

QString ClusterSettings::Describe() const
{
    QString host = QStringLiteral("localhost"), port = QStringLiteral("5432"), database, user;
    for (const auto &parameter : parameters) {
        const QString value = QString::fromUtf8(parameter.second);
        if (parameter.first == "host")
            host = value;
        else if (parameter.first == "port")
            port = value;
        else if (parameter.first == "dbname")
            database = value;
        else if (parameter.first == "user")
            user = value;
    }
    return QStringLiteral("%1:%2/%3 as %4").arg(host, port, database, user);
}

} // namespace Zendral
} // namespace Orvane
