#include "tools/ToolRunner.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"

#include <QStringDecoder>

std::optional<QString> decodeUtf8Strictly(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless
                               | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

namespace {

enum class Launch { Failed, Finished, TimedOut };

struct RunOutcome
{
    Launch launch = Launch::Failed;
    QString launchError;
    ToolRunResult result;
};

RunOutcome runToCompletion(const QString &path, const QStringList &arguments,
                           std::chrono::milliseconds deadline, const QStringList &environment)
{
    RunOutcome outcome;
    const ChildProcess::Launch launched =
        ChildProcess::launch(path, arguments, ChildProcess::Output::Pipe, environment);
    if (!launched.process) {
        outcome.launchError = launched.error;
        return outcome;
    }
    ChildProcess &process = *launched.process;
    // The pipe is read while waiting, so a chatty child never stalls.
    if (!process.waitForExit(deadline)) {
        process.kill();
        process.waitForExit(std::chrono::milliseconds(-1));
        outcome.launch = Launch::TimedOut;
        outcome.result.timedOut = true;
        return outcome;
    }
    outcome.launch = Launch::Finished;
    outcome.result.output = decodeUtf8Strictly(process.takeOutput());
    outcome.result.exitStatus = process.exitStatus().value_or(-1);
    return outcome;
}

QString deadlineLine(const QString &name, std::chrono::milliseconds deadline)
{
    const double seconds = static_cast<double>(deadline.count()) / 1000.0;
    return QStringLiteral("❌ %1 did not finish within %2 s and was stopped")
        .arg(name, QString::number(seconds));
}

} // namespace

ToolRunner::ToolRunner(ToolLocator locator, std::chrono::milliseconds deadline,
                       QStringList environment)
    : locator_(std::move(locator))
    , deadline_(deadline)
    , environment_(std::move(environment))
{
}

ToolRunResult ToolRunner::runTool(const QString &name, const QStringList &arguments) const
{
    const std::optional<QString> path = locator_.resolveTool(name);
    if (!path) {
        consoleLine(QStringLiteral("❌ Bundled tool not found: ") + name);
        return {};
    }
    const RunOutcome outcome = runToCompletion(*path, arguments, deadline_, environment_);
    switch (outcome.launch) {
    case Launch::Failed:
        consoleLine(QStringLiteral("❌ Error running ") + name + QStringLiteral(": ")
                    + outcome.launchError);
        return {};
    case Launch::TimedOut:
        consoleLine(deadlineLine(name, deadline_));
        return outcome.result;
    case Launch::Finished:
        break;
    }
    return outcome.result;
}

ToolRunResult ToolRunner::runExecutable(const QString &path, const QStringList &arguments) const
{
    return runExecutable(path, arguments, deadline_);
}

ToolRunResult ToolRunner::runExecutable(const QString &path, const QStringList &arguments,
                                        std::chrono::milliseconds deadline) const
{
    const RunOutcome outcome = runToCompletion(path, arguments, deadline, environment_);
    switch (outcome.launch) {
    case Launch::Failed:
        consoleLine(QStringLiteral("Error: ") + outcome.launchError);
        return {};
    case Launch::TimedOut:
        consoleLine(deadlineLine(path, deadline));
        return outcome.result;
    case Launch::Finished:
        break;
    }
    return outcome.result;
}
