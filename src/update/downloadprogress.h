#pragma once

#include "common/outcome.h"
#include "net/webclient.h"

#include <QString>
#include <QUrl>

#include <functional>

class Clock;
class Services;
class WebClient;

// Downloads the executable at `url` into `localPath` (DownloadToFile) after
// a short animated start of the progress bar: range 0..100, value 0, then 1
// to 40 with a 20 ms sleep and pending events at each step; then, when the
// server announced the size, on from 40 towards 100 as the bytes arrive;
// 100 when the file is complete. An interrupted download keeps its bytes
// for the next attempt. Reports on the status line and never lets a
// failure escape: Done when the file was downloaded, else why not
// (DownloadFailed, Refused, or Failed when a step of its own failed).
// `check` runs on the complete file before it takes the place of anything
// (DownloadOptions::check); a refused file is a failed download.
// `exactBytes`: the size the release lists (DownloadOptions::exactBytes).
// The transfer itself, given the options the bar needs (the progress
// callback, the bounds): `transfer` brings the file and says how.
using ProgressTransfer = std::function<TransferResult(const DownloadOptions &options)>;
Outcome DownloadWithProgress(Services &services, Clock &clock, const ProgressTransfer &transfer,
                             const std::function<int(const QString &, const QByteArray &)> &check, qint64 exactBytes);
Outcome DownloadWithProgress(Services &services, WebClient &web, Clock &clock, const QUrl &url,
                             const QString &localPath,
                             const std::function<int(const QString &, const QByteArray &)> &check = {},
                             qint64 exactBytes = -1);
