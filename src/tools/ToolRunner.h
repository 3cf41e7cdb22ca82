#pragma once

#include "tools/ToolLocator.h"
#include "tools/ToolRunResult.h"

#include <QStringList>
#include <chrono>
#include <optional>

// Decodes bytes as strict UTF-8: absent when any byte sequence is not valid UTF-8.
std::optional<QString> decodeUtf8Strictly(const QByteArray &bytes);

// Runs a child to completion, blocking the calling thread, with standard output and standard
// error in one pipe that is drained while the child runs. A child that overruns the deadline
// is killed and reaped, and the run fails.
class ToolRunner
{
public:
    static constexpr std::chrono::milliseconds defaultDeadline {30000};

    // `environment`: "NAME=value" entries every child gets on top of ours.
    explicit ToolRunner(ToolLocator locator = {},
                        std::chrono::milliseconds deadline = defaultDeadline,
                        QStringList environment = {});

    // A tool of the tool folder, by name.
    ToolRunResult runTool(const QString &name, const QStringList &arguments) const;
    // Any executable, by path, without resolution or permission change.
    ToolRunResult runExecutable(const QString &path, const QStringList &arguments) const;
    ToolRunResult runExecutable(const QString &path, const QStringList &arguments,
                                std::chrono::milliseconds deadline) const;

    const ToolLocator &locator() const { return locator_; }
    std::chrono::milliseconds deadline() const { return deadline_; }
    const QStringList &environment() const { return environment_; }

private:
    ToolLocator locator_;
    std::chrono::milliseconds deadline_;
    QStringList environment_;
};
