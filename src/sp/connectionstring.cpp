#include "sp/database.h"

#include "common/failure.h"

#include <QRegularExpression>

namespace ConnectionString {

namespace {

const QString kMask = QStringLiteral("********");

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

QString odbc(const ConnectionSettings &settings)
{
    if (settings.server.isEmpty())
        throw Failure{DatabaseCode::NoServer,
                      QStringLiteral("No database server is named: CONSTR.txt gave an empty server name.")};
    QString braced = settings.driver;
    braced.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QStringLiteral("DRIVER={") + braced + QStringLiteral("};SERVER=") + odbcValue(settings.server)
        + QStringLiteral(";DATABASE=") + odbcValue(settings.database) + QStringLiteral(";UID=")
        + odbcValue(settings.login) + QStringLiteral(";PWD=") + odbcValue(settings.password) + QLatin1Char(';');
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
