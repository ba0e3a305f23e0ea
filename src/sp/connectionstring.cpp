#include "sp/database.h"

#include "common/failure.h"

#include <QRegularExpression>

namespace ConnectionString {

namespace {

const QString kMask = QStringLiteral("********");

struct Pair
{
    QString keyword; // lower case, inner blanks kept
    QString value;
};

[[noreturn]] void refuse(int number, const QString &why)
{
    throw Failure{number, why};
}

// Splits an OLE DB connection string into keyword/value pairs: pairs end at
// ";" outside quotes, keywords are case-insensitive, blanks around keywords
// and unquoted values are dropped, a value may be enclosed in double or
// single quotes (the quote doubled inside).
QList<Pair> pairs(const QString &text)
{
    QList<Pair> result;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size) {
        const qsizetype equals = text.indexOf(u'=', pos);
        const qsizetype semicolon = text.indexOf(u';', pos);
        if (equals < 0 || (semicolon >= 0 && semicolon < equals)) {
            const qsizetype end = semicolon < 0 ? size : semicolon;
            if (!text.mid(pos, end - pos).trimmed().isEmpty())
                refuse(DatabaseCode::BadConnectionString,
                       QStringLiteral("The connection string holds a part without \"=\"."));
            pos = end + 1;
            continue;
        }
        Pair pair;
        pair.keyword = text.mid(pos, equals - pos).trimmed().toLower();
        if (pair.keyword.isEmpty())
            refuse(DatabaseCode::BadConnectionString,
                   QStringLiteral("The connection string holds a value without a keyword."));
        pos = equals + 1;
        while (pos < size && text.at(pos).isSpace())
            ++pos;
        if (pos < size && (text.at(pos) == u'"' || text.at(pos) == u'\'')) {
            const QChar quote = text.at(pos++);
            for (;;) {
                if (pos >= size)
                    refuse(DatabaseCode::BadConnectionString,
                           QStringLiteral("A quoted value of the connection string has no closing quote."));
                if (text.at(pos) == quote) {
                    if (pos + 1 < size && text.at(pos + 1) == quote) {
                        pair.value += quote;
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                pair.value += text.at(pos++);
            }
            while (pos < size && text.at(pos).isSpace())
                ++pos;
            if (pos < size && text.at(pos) != u';')
                refuse(DatabaseCode::BadConnectionString,
                       QStringLiteral("A quoted value of the connection string is followed by more text."));
            ++pos;
        } else {
            const qsizetype end = semicolon < 0 ? size : semicolon;
            pair.value = text.mid(pos, end - pos).trimmed();
            pos = end + 1;
        }
        result.append(pair);
    }
    return result;
}

// An ODBC value as written after "KEY=": in braces when it could be read
// otherwise, with "}" doubled inside them.
QString odbcValue(const QString &value)
{
    static const QRegularExpression needsBraces(QStringLiteral("[;{}=]|^\\s|\\s$"));
    if (!value.contains(needsBraces))
        return value;
    QString inner = value;
    inner.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QLatin1Char('{') + inner + QLatin1Char('}');
}

} // namespace

QString odbcDriver()
{
    const QString chosen = qEnvironmentVariable("UPDATER_ODBC_DRIVER");
    if (!chosen.trimmed().isEmpty())
        return chosen.trimmed();
#ifdef Q_OS_WIN
    return QStringLiteral("SQL Server");
#else
    return QStringLiteral("FreeTDS");
#endif
}

QString toOdbc(const QString &oleDbString, const QString &driver)
{
    QString provider;
    QString server;
    QString database;
    QString user;
    QString password;
    bool hasProvider = false;
    for (const Pair &pair : pairs(oleDbString)) {
        if (pair.keyword == QLatin1String("provider")) {
            provider = pair.value;
            hasProvider = true;
        } else if (pair.keyword == QLatin1String("data source")) {
            server = pair.value;
        } else if (pair.keyword == QLatin1String("initial catalog")) {
            database = pair.value;
        } else if (pair.keyword == QLatin1String("user id")) {
            user = pair.value;
        } else if (pair.keyword == QLatin1String("password")) {
            password = pair.value;
        } else {
            refuse(DatabaseCode::BadConnectionString,
                   QStringLiteral("The connection string keyword \"%1\" is not supported.").arg(pair.keyword));
        }
    }
    if (!hasProvider)
        refuse(DatabaseCode::UnknownProvider, QStringLiteral("The connection string names no provider."));
    if (provider.compare(QLatin1String("SQLOLEDB"), Qt::CaseInsensitive) != 0
        && provider.compare(QLatin1String("SQLOLEDB.1"), Qt::CaseInsensitive) != 0)
        refuse(DatabaseCode::UnknownProvider,
               QStringLiteral("Provider cannot be found. It may not be properly installed: \"%1\".").arg(provider));
    if (server.isEmpty())
        refuse(DatabaseCode::NoServer,
               QStringLiteral("No database server is named: CONSTR.txt gave an empty server name."));

    QString braced = driver;
    braced.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QStringLiteral("DRIVER={") + braced + QStringLiteral("};SERVER=") + odbcValue(server)
        + QStringLiteral(";DATABASE=") + odbcValue(database) + QStringLiteral(";UID=") + odbcValue(user)
        + QStringLiteral(";PWD=") + odbcValue(password) + QLatin1Char(';');
}

QStringList secrets(const QString &connectionString)
{
    QStringList result;
    try {
        for (const Pair &pair : pairs(connectionString)) {
            if ((pair.keyword == QLatin1String("password") || pair.keyword == QLatin1String("pwd"))
                && !pair.value.isEmpty())
                result.append(pair.value);
        }
    } catch (const Failure &) {
        // A string that cannot be read is masked by the patterns alone.
    }
    return result;
}

QString masked(const QString &text, const QStringList &secrets)
{
    static const QRegularExpression keyed(
        QStringLiteral(
            "((?:PWD|Password)\\s*=\\s*)(\\{(?:[^}]|\\}\\})*\\}?|\"(?:[^\"]|\"\")*\"?|'(?:[^']|'')*'?|[^;\\s]*)"),
        QRegularExpression::CaseInsensitiveOption);
    QString result = text;
    result.replace(keyed, QStringLiteral("\\1") + kMask);
    for (const QString &secret : secrets)
        result.replace(secret, kMask);
    return result;
}

} // namespace ConnectionString
