#pragma once

#include "update/processcontrol.h"

// Process control that touches no process: records "stop:PATH" and
// "start:PROGRAM ARGS @FOLDER" in order.
class RecordingProcesses : public ProcessControl
{
public:
    int stopAll(const QString &executablePath) override
    {
        log << QStringLiteral("stop:") + executablePath;
        return 0;
    }
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override
    {
        log << QStringLiteral("start:%1 %2 @%3").arg(program, arguments.join(QLatin1Char(' ')), workingFolder);
        return true;
    }

    QStringList log;
};
