#pragma once

#include "common/signature.h"
#include "sp/database.h"

#include <QString>

#include <optional>

class Endpoints;
class Services;
class WebClient;

// "Update SP": reloads the server list, downloads LATEST.sql into the SP
// folder, asks, reads the script, cuts it into batches at its "GO" lines and
// runs them one by one on the database named by the server list.
class SpUpdate
{
public:
    // serverName: the window's server name, which the server list updates
    // (and keeps on a failure to read CONSTR.txt).
    SpUpdate(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
             DatabaseFactory databases, QString &serverName, QList<QByteArray> keys = Signature::trustedKeys());

    // The whole action, from the busy cursor to the last box.
    void run();

    // The application's database on the server: the database Quorvel with
    // the tool's own login, through the ODBC driver of this platform.
    static ConnectionSettings connection(const QString &serverName);

private:
    // Downloads and reads the script; nothing when the action has ended
    // early (download failed, declined, file missing).
    std::optional<QString> fetchScript();
    void execute(const QString &scriptText);

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    DatabaseFactory m_databases;
    QString &m_serverName;
    QList<QByteArray> m_keys; // a script must be signed by one of them; none: not checked
};
