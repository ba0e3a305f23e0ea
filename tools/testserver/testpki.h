#pragma once

#include <QString>
#include <QStringList>

// A certificate authority and server certificates made on the spot with the
// openssl command line, valid for a few days: nothing that can lapse is kept.
struct TestPki
{
    QString caFile;   // the authority's certificate (PEM)
    QString certFile; // server certificate for 127.0.0.1, localhost, updates.test and extraNames
    QString keyFile;
    QString otherCertFile; // a certificate of the same authority for another host
    QString otherKeyFile;
    QString error; // why creation failed; empty on success

    // Creates every file in `folder`, which must exist. `extraNames` are
    // more subject alternative names of the server certificate, in
    // openssl's form ("IP:10.0.0.1", "DNS:host").
    static TestPki create(const QString &folder, const QStringList &extraNames = {});
    bool ok() const { return error.isEmpty(); }
};
