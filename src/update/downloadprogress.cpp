#include "update/downloadprogress.h"

#include "common/clock.h"
#include "common/failure.h"
#include "common/services.h"
#include "net/webclient.h"

#include <exception>

namespace {
constexpr int kAnimationSteps = 40;
constexpr int kAnimationStepMs = 20;
} // namespace

bool DownloadWithProgress(Services &services, WebClient &web, Clock &clock, QUrl url, QString localPath)
{
    QString description;
    try {
        services.setStatus(QStringLiteral("Starting download..."));
        services.setProgressRange(0, 100);
        services.setProgressValue(0);
        services.processPendingEvents();
        // The animation runs before the transfer starts; the bar then holds
        // still until the transfer ends.
        for (int i = 1; i <= kAnimationSteps; ++i) {
            services.processPendingEvents();
            services.setProgressValue(i);
            clock.sleepMs(kAnimationStepMs);
        }
        if (web.downloadToFile(url, localPath) != 0) {
            services.setStatus(QStringLiteral("Download failed."));
            return false;
        }
        services.setProgressValue(100);
        services.setStatus(QStringLiteral("Download complete."));
        return true;
    } catch (...) {
        description = currentFailure().description;
    }
    try {
        services.setStatus(QStringLiteral("Download error: ") + description);
    } catch (...) {
        // The status line itself failed: nothing is left to report on.
    }
    return false;
}
