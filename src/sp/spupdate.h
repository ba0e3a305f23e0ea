#pragma once

#include "common/outcome.h"
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
    // (and keeps on a failure to read CONSTR.txt). commandTimeout: the
    // seconds one batch may run (0: no limit).
    SpUpdate(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
             DatabaseFactory databases, QString &serverName, QList<QByteArray> keys = Signature::trustedKeys(),
             int commandTimeout = kDefaultCommandTimeout);

    // The whole action, from the busy cursor to the last box, and how it
    // ended.
    Outcome run();

    // The user asked to close the window while the action runs. While the
    // batches run, asks whether to stop the script; on Yes the running
    // batch is cancelled and no later one runs. The window closes when
    // run() has returned, whatever the answer.
    void closeRequested();

    // The application's database on the server: the database Quorvel with
    // the tool's own login, through the ODBC driver of this platform.
    static ConnectionSettings connection(const QString &serverName, int commandTimeout = kDefaultCommandTimeout);

private:
    // Downloads and reads the script; nothing when the action has ended
    // early (download failed, declined, file missing), with `outcome` set
    // to say how.
    std::optional<QString> fetchScript(Outcome &outcome);
    Outcome execute(const QString &scriptText);

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    DatabaseFactory m_databases;
    QString &m_serverName;
    QList<QByteArray> m_keys; // a script must be signed by one of them; none: not checked
    int m_commandTimeout;
    // Set while the batches run.
    Database *m_running = nullptr;
    bool m_asking = false;
    bool m_stopRequested = false;
};
