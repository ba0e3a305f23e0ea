#include "common/spfixture.h"

bool SpFixture::start()
{
    bool started = false;
    // The checks below end this lambda, not the test, when they fail.
    [&] {
        web = std::make_unique<WebFixture>();
        QVERIFY2(web->ok(), qPrintable(web->error()));
        db = std::make_unique<DatabaseFixture>();
        REQUIRE_DATABASE(*db);
        serverName.clear();
        started = true;
    }();
    return started;
}

void SpFixture::stop()
{
    db.reset();
    web.reset();
}
