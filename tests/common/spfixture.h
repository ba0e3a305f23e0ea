#pragma once

#include "common/databasefixture.h"
#include "common/webfixture.h"

#include <QString>

#include <memory>

// The world of one "Update SP" test: a scratch installation served by a
// local HTTPS server, and a schema of its own in the local PostgreSQL
// server. Made in a test's init(), taken down in its cleanup().
class SpFixture
{
public:
    // Makes both. False, with the test failed (or skipped outside CI when
    // the database is missing), when either cannot be had.
    bool start();
    // Drops the schema and stops the server.
    void stop();

    std::unique_ptr<WebFixture> web;
    std::unique_ptr<DatabaseFixture> db;
    // The window's server name, as the action keeps it between runs.
    QString serverName;
};
