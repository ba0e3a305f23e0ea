// Writes lines to an update log, for the test of two processes logging at
// once: logwriter PATH COUNT TAG writes "TAG 1" to "TAG COUNT".
#include "common/updatelog.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char **argv)
{
    const QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    UpdateLog log(args.value(1));
    const int count = args.value(2).toInt();
    for (int i = 1; i <= count; ++i) {
        if (!log.write(QStringLiteral("test"), args.value(3) + QLatin1Char(' ') + QString::number(i)))
            return 1;
    }
    return 0;
}
