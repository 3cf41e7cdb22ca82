#pragma once

#include "TestSupport.h"

#include <QList>
#include <QString>
#include <sys/types.h>

// Helpers for the tests of spoofing and the tunnel.

// Processes whose executable lies under `folder` (the kit's tools and the tunnel daemon it
// forks), whoever their parent is. Other users' processes and other test runs are not counted.
QList<pid_t> processesRunningFrom(const QString &folder);

// Nothing of this test is left: no process from the kit's folder, no child of ours.
bool nothingLeftBehind(const SimDeviceKit &kit);

// A stand-in for the administrator prompt: a script in `folder` that notes each call in
// "<folder>/prompts" and then runs `body` with the helper script's path as "$1".
QString writeFakePrompt(const QString &folder, const QByteArray &body);
int promptCount(const QString &folder);

// Starts the kit's tunnel daemon the way the helper script does.
bool startKitTunnel(const SimDeviceKit &kit);

// Prompt bodies.
// The script runs with the kit's stand-in for administrator rights.
inline const QByteArray kPromptRunsScript =
    QByteArrayLiteral("export SIMDEVICE_ADMIN=1\nexec /bin/sh \"$1\"\n");

// Something accepts connections on this loopback port.
bool portListening(quint16 port);
