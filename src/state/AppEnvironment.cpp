#include "state/AppEnvironment.h"

#include "platform/Platform.h"

QString AppEnvironment::shellPath() const
{
    return shell.isEmpty() ? platform::shellPath() : shell;
}

QString AppEnvironment::temporaryFolderPath() const
{
    if (temporaryFolder.isEmpty())
        return platform::temporaryFolder();
    return temporaryFolder.endsWith(QLatin1Char('/')) ? temporaryFolder
                                                      : temporaryFolder + QLatin1Char('/');
}
