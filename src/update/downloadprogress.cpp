#include "update/downloadprogress.h"

#include "common/clock.h"
#include "common/failure.h"
#include "common/services.h"
#include "net/webclient.h"

#include <optional>

namespace {
constexpr int kAnimationSteps = 40;
constexpr int kAnimationStepMs = 20;
} // namespace

Outcome DownloadWithProgress(Services &services, WebClient &web, Clock &clock, const QUrl &url,
                             const QString &localPath,
                             const std::function<int(const QString &, const QByteArray &)> &check, qint64 exactBytes)
{
    return DownloadWithProgress(
        services, clock, [&](const DownloadOptions &options) { return web.downloadToFile(url, localPath, options); },
        check, exactBytes);
}

Outcome DownloadWithProgress(Services &services, Clock &clock, const ProgressTransfer &transfer,
                             const std::function<int(const QString &, const QByteArray &)> &check, qint64 exactBytes)
{
    Outcome outcome;
    const std::optional<Failure> failure = attempt([&] {
        services.setStatus(QStringLiteral("Starting download..."));
        services.setProgressRange(0, 100);
        services.setProgressValue(0);
        services.processPendingEvents();
        // The animation runs before the transfer starts; the bar then moves
        // on from 40 as the bytes arrive, when the size is known.
        for (int i = 1; i <= kAnimationSteps; ++i) {
            services.processPendingEvents();
            services.setProgressValue(i);
            clock.sleepMs(kAnimationStepMs);
        }
        DownloadOptions options;
        options.maxBytes = kExecutableBytes;
        options.keepPartial = true; // an interrupted download goes on at the next attempt
        options.check = check;
        options.exactBytes = exactBytes;
        int shown = kAnimationSteps;
        options.progress = [&](qint64 received, qint64 total) {
            if (total <= 0)
                return;
            // 100 is for the complete file.
            const auto value
                = static_cast<int>(qMin<qint64>(kAnimationSteps + (100 - kAnimationSteps) * received / total, 99));
            if (value > shown) {
                shown = value;
                services.setProgressValue(value);
            }
        };
        const TransferResult result = transfer(options);
        if (!result.ok()) {
            outcome = result.failure().outcome();
            services.setStatus(QStringLiteral("Download failed."));
            return;
        }
        services.setProgressValue(100);
        services.setStatus(QStringLiteral("Download complete."));
        outcome = Outcome::of(OutcomeKind::Done);
    });
    if (failure) {
        // When the status line itself fails, nothing is left to report on.
        attempt([&] { services.setStatus(QStringLiteral("Download error: ") + failure->description); });
        return outcome.number != 0 ? outcome : failure->outcome();
    }
    return outcome;
}
