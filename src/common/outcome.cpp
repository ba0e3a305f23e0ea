#include "common/outcome.h"

QString outcomeName(OutcomeKind kind)
{
    switch (kind) {
    case OutcomeKind::Done: return QStringLiteral("done");
    case OutcomeKind::UpToDate: return QStringLiteral("already up to date");
    case OutcomeKind::UpdateAvailable: return QStringLiteral("an update is available");
    case OutcomeKind::Declined: return QStringLiteral("declined");
    case OutcomeKind::DownloadFailed: return QStringLiteral("download failed");
    case OutcomeKind::Refused: return QStringLiteral("download refused");
    case OutcomeKind::NotReplaced: return QStringLiteral("the executable was not replaced");
    case OutcomeKind::BatchesFailed: return QStringLiteral("some SQL batches failed or were not run");
    case OutcomeKind::DatabaseUnreachable: return QStringLiteral("the database could not be reached");
    case OutcomeKind::Busy: return QStringLiteral("another updater is at work in this folder");
    case OutcomeKind::DiskFull: return QStringLiteral("not enough disk space");
    case OutcomeKind::Expired: return QStringLiteral("the published release has expired");
    case OutcomeKind::ScriptRunElsewhere: return QStringLiteral("another desk is running the script");
    case OutcomeKind::EndNotRecorded:
        return QStringLiteral("the script ran, but its end could not be recorded in the journal");
    case OutcomeKind::NotGuaranteed:
        return QStringLiteral("the script was not run: nothing guaranteed that it runs once");
    case OutcomeKind::StartFailed: return QStringLiteral("the new program did not start");
    case OutcomeKind::FleetAttention: return QStringLiteral("installations need attention");
    case OutcomeKind::Failed: return QStringLiteral("failed");
    }
    return QStringLiteral("failed");
}

QString Outcome::summary() const
{
    QString text = outcomeName(kind);
    if (kind == OutcomeKind::BatchesFailed) {
        text += QStringLiteral(" (%1 of %2 failed").arg(failedBatches).arg(batches);
        if (cancelledBatch > 0)
            text += QStringLiteral(", batch %1 cancelled").arg(cancelledBatch);
        text += QStringLiteral(", %1 not run)").arg(notRunBatches);
    }
    if (number != 0 || !reason.isEmpty())
        text += QStringLiteral(": ") + (number != 0 ? QString::number(number) + QStringLiteral(" ") : QString())
            + reason;
    return text;
}
