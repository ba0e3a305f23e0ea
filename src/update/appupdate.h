#pragma once

#include <QString>

class Clock;
class Endpoints;
class InstallFiles;
class ProcessControl;
class Services;
class WebClient;

// "Update App": compares the local version.txt with the published one and,
// when they differ and the user agrees, installs the published executable:
// downloads it as Vantora_new.exe, stops every running Vantora.exe, puts the
// new file in place of the old one, records the version and starts the
// application once with "/silentdbupdate".
class AppUpdate
{
public:
    // `files` does the delete and rename of the swap (tests make them fail).
    AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints, QString appFolder,
              ProcessControl &processes, InstallFiles &files);
    AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints, QString appFolder,
              ProcessControl &processes);

    // The whole action, from the busy cursor to the last box.
    void run();

private:
    // The version check and, when the user agrees, the install. Throws
    // Failure up to the point where the install skips failing steps.
    void check();
    // Reads the first line of version.txt, creating the file with 1.0.0
    // when it is missing. Throws Failure.
    QString readLocalVersionLine(const QString &path);
    // Goes on after the user agreed to update to the published text.
    void install(const QString &remoteText);
    // Deletes the old executable and renames the new one into its place,
    // keeping the old file's permissions. True when the new executable is
    // in place; false leaves Vantora_new.exe where it is.
    bool replaceExecutable(const QString &oldPath, const QString &newPath);

    Services &m_services;
    WebClient &m_web;
    Clock &m_clock;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    ProcessControl &m_processes;
    InstallFiles &m_files;
};
