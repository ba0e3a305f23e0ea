#pragma once

#include <QString>

// The status codes of DownloadToFile, and the failure numbers of FetchText:
// the one list. 0 is success; every other value is a failure:
//
//   100..599      the server answered with that HTTP status (anything but 2xx)
//   407           the proxy asked for a sign-in the updater could not give
//                 (no account, a wrong one, or none of its schemes), on the
//                 tunnel's CONNECT or on the request
//   1000 + n      the transfer failed with libcurl's error n, where no code
//                 below names the failure better (1006 host not found,
//                 1007 nobody listening, 1055 or 1056 the connection broke
//                 while sending or receiving, 1052 the server closed the
//                 connection without an answer, ...)
//   2001          the server stopped answering: a transfer slower than the
//                 stall rate (1 KiB/s) for the stall time (60 s), or a text
//                 that outlasted its time limit
//   2002          the body is larger than the tool accepts for its kind
//                 (16 MiB for a text, 512 MiB for a report or the script,
//                 4 GiB for the executable), announced or received
//   2003          the local file could not be created, written or put in
//                 place
//   2004          the body ended before the length the server announced
//   2005          the URL is not a valid https URL
//   2006          the wait was cut short (the program is quitting); nothing
//                 is written
//   2007          a redirect to an address that is not https was refused
//   2008          the secure connection could not be set up: the server's
//                 certificate is not trusted, names another host, or the
//                 handshake failed
//   2009          the body is not what a release file is: an empty program,
//                 an HTML page (a web filter's or a portal's), or a program
//                 without the platform's executable header
//   2010          the signature beside the file is missing, malformed, or
//                 not made by a key this build trusts (earlier builds; a
//                 signed release is now checked through its manifest)
//   2011          the body ended with the connection, without a length or
//                 another proof of its end: it may have been cut anywhere
//   2012          the local file could not be written: not enough disk
//                 space (the part written so far is removed)
//   2013          the file is not the one the release manifest lists: its
//                 size or SHA-256 differs, or the manifest does not list it
//                 (a body longer than the listed size is cut off at once)
//   2014          the release manifest (release.json and its .sig) is
//                 missing, malformed, or not signed by a key this build
//                 trusts
//   2015          the release manifest is older (a lower serial) than one
//                 this installation has accepted, or (a build with keys)
//                 its version orders below the installed one and it does
//                 not say "downgrade": a rollback or a replay
//   2016          the release manifest has expired: the publisher has not
//                 signed it again in time
//   2017          the release manifest names another version than the
//                 published version.txt
//   2018          a mirror folder does not hold the file
//   2019          a mirror folder cannot be reached, or the file in it is
//                 not a plain file or cannot be read
//
// libcurl's errors map onto these: a timeout to 2001, a size limit to 2002,
// a write error to 2003, a partial body to 2004, a malformed URL to 2005, a
// protocol refused after a redirect to 2007, every TLS and certificate
// error to 2008.
namespace TransferCode {
constexpr int Ok = 0;
constexpr int ProxySignIn = 407;
constexpr int NetworkErrorBase = 1000;
constexpr int TimedOut = 2001;
constexpr int TooLarge = 2002;
constexpr int LocalFile = 2003;
constexpr int Truncated = 2004;
constexpr int BadUrl = 2005;
constexpr int Interrupted = 2006;
constexpr int RefusedRedirect = 2007;
constexpr int Certificate = 2008;
constexpr int NotARelease = 2009;
constexpr int BadSignature = 2010;
constexpr int Unbounded = 2011;
constexpr int DiskFull = 2012;
constexpr int NotListed = 2013;
constexpr int BadManifest = 2014;
constexpr int OlderManifest = 2015;
constexpr int ExpiredManifest = 2016;
constexpr int OtherVersion = 2017;
constexpr int MirrorFile = 2018;
constexpr int MirrorUnreadable = 2019;

// A readable sentence for a code, for boxes and status lines.
QString describe(int code);

// A download refused for what it brought (not a release, not signed, not
// what the release lists), not for how it travelled.
constexpr bool isRefusal(int code)
{
    return code == NotARelease || code == BadSignature || (code >= NotListed && code <= OtherVersion);
}
} // namespace TransferCode
