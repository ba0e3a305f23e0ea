#pragma once

#include <QString>

// A certificate authority and server certificates made on the spot with the
// openssl command line, valid for a few days: nothing that can lapse is kept.
struct TestPki
{
    QString caFile;   // the authority's certificate (PEM)
    QString certFile; // server certificate for 127.0.0.1, localhost and updates.test
    QString keyFile;
    QString otherCertFile; // a certificate of the same authority for another host
    QString otherKeyFile;
    QString error; // why creation failed; empty on success

    // Creates every file in `folder`, which must exist.
    static TestPki create(const QString &folder);
    bool ok() const { return error.isEmpty(); }
};
