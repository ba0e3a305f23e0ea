#pragma once

#include <QString>

class Clock;
class Endpoints;
class Services;
class WebClient;

// "Update App": compares the local version.txt with the published one and,
// when they differ and the user agrees, installs the published executable.
class AppUpdate
{
public:
    AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints,
              QString appFolder);

    // The whole action, from the busy cursor to the last box.
    void run();

private:
    // Reads the first line of version.txt, creating the file with 1.0.0
    // when it is missing. Throws Failure.
    QString readLocalVersionLine(const QString &path);
    // Goes on after the user agreed to update to the published text.
    void install(const QString &remoteText);

    Services &m_services;
    WebClient &m_web;
    Clock &m_clock;
    const Endpoints &m_endpoints;
    QString m_appFolder;
};
