#pragma once

#include "update/installationstatus.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// The report on a school's fleet read from its share: the status file each
// installation left there (InstallationStatus), one line per installation,
// the ones with a problem first, and a summary per version, per outcome and
// of the desks not heard from. A file that is not a whole status file of
// this tool is named and skipped.
class FleetReport
{
public:
    static constexpr int kDefaultStaleDays = 7;

    struct Desk
    {
        InstallationStatus status;
        QString file;
        bool behind = false; // not on the newest version present
        bool failed = false; // its last run did not succeed
        bool stale = false;  // not heard from for the stale days
        bool problem() const { return behind || failed || stale; }
    };
    struct Skipped
    {
        QString file;
        QString why;
    };
    struct Count
    {
        QString label;
        int count = 0;
    };

    // Reads the *.json files of `folder`, judged at `now` (the reader's
    // clock). Nothing, with `why`, when the folder cannot be read.
    static std::optional<FleetReport> read(const QString &folder, const QDateTime &now, int staleDays, QString *why);

    const QList<Desk> &desks() const { return m_desks; }
    const QList<Skipped> &skipped() const { return m_skipped; }
    // The highest version present; empty when there is none to compare.
    QString newestVersion() const { return m_newest; }
    // Installations per version, the newest first; per outcome, the most first.
    QList<Count> perVersion() const;
    QList<Count> perOutcome() const;
    // True when every installation runs the newest version, its last run
    // succeeded and was recent.
    bool allWell() const;

    QString text() const;
    // One page, self-contained: the charts as inline SVG, the table
    // sortable by a click on a column (a script of its own, nothing
    // loaded from elsewhere).
    QString html() const;

private:
    void judge();
    QString problemText(const Desk &desk) const;
    QString deskName(const Desk &desk) const;

    QList<Desk> m_desks;
    QList<Skipped> m_skipped;
    QHash<QString, int> m_installationsOn; // installations per computer
    QString m_newest;
    QString m_folder;
    QDateTime m_now;
    int m_staleDays = kDefaultStaleDays;
};
