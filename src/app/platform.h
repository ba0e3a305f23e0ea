#pragma once

#include "common/signature.h"
#include "common/updatelog.h"
#include "net/endpoints.h"
#include "sp/odbcdatabase.h"
#include "update/processcontrol.h"

#include <QString>

#include <memory>

class Clock;
class WebClient;

// What the window hands to the actions besides itself: the platform
// services and where the installation lives. main() builds the real one;
// tests build one against their local servers.
struct Platform
{
    WebClient &web;
    Clock &clock;
    Endpoints endpoints;
    QString appFolder;
    // Stops and starts the application's processes.
    ProcessControl &processes = ProcessControl::system();
    // Makes the database connection of one "Update SP" click.
    DatabaseFactory databases = OdbcDatabase::factory();
    // The publisher's keys the executable and the script must be signed
    // with: this build's own, never taken from the environment.
    QList<QByteArray> keys = Signature::trustedKeys();
    // Where what the actions do is written; by default nowhere.
    std::shared_ptr<UpdateLog> log = std::make_shared<UpdateLog>();
    // Where each action leaves the installation's status file for the
    // school's fleet report; empty: nowhere.
    QString statusFolder = QString();
};
