#include "spoof/FixActions.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "state/ScreenModel.h"
#include "tools/GoIos.h"
#include "tools/ToolRunner.h"

#include <mutex>

using namespace std::chrono;

// One fix in flight, shared with its background job: the GUI thread cancels through it.
struct FixActions::Run
{
    std::mutex mutex;
    std::shared_ptr<ChildProcess> process;
    bool cancelled = false;

    void cancel()
    {
        std::lock_guard lock(mutex);
        cancelled = true;
        if (process)
            process->kill();
    }
};

namespace {

HintState &hintOf(ScreenState &s, FixActions::Target target)
{
    return target == FixActions::Device ? s.deviceHint : s.spoofHint;
}

const HintState &hintOf(const ScreenState &s, FixActions::Target target)
{
    return target == FixActions::Device ? s.deviceHint : s.spoofHint;
}

HintState &hintOf(DeviceSession &s, FixActions::Target target)
{
    return target == FixActions::Device ? s.deviceHint : s.spoofHint;
}

// Changes a hint where it lives: in the phone's session, or the screen's own with no phone.
void changeHint(ScreenModel &model, const QString &udid, FixActions::Target target,
                const std::function<void(HintState &)> &change)
{
    if (model.session(udid))
        model.updateSession(udid, [&](DeviceSession &s) { change(hintOf(s, target)); });
    else
        model.update([&](ScreenState &s) { change(hintOf(s, target)); });
}

// What the fix came to: success needs exit 0 and no error among the tool's lines (go-ios and
// pymobiledevice3 log an error and may still exit 0).
QString outcome(failure::Fix fix, const QString &tool, ChildProcess &process,
                const QByteArray &output)
{
    const int status = process.exitStatus().value_or(-1);
    const std::optional<QString> goIosError = goios::lastError(output);
    QString lastLine;
    bool errorLine = false;
    for (const QByteArray &line : output.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        lastLine = goios::consoleText(line.trimmed());
        errorLine = errorLine || line.contains("ERROR");
    }
    if (status == 0 && !goIosError && !errorLine)
        return failure::fixDone(fix);
    if (goIosError)
        return QStringLiteral("❌ ") + *goIosError;
    if (!lastLine.isEmpty())
        return lastLine.startsWith(QStringLiteral("❌")) ? lastLine
                                                        : QStringLiteral("❌ ") + lastLine;
    return QStringLiteral("❌ ") + tool + QStringLiteral(" failed (exit ") + QString::number(status)
        + QLatin1Char(')');
}

} // namespace

FixActions::FixActions(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
    , queue_(this)
{
}

FixActions::~FixActions()
{
    queue_.close();
    cancelAll();
}

void FixActions::cancelAll()
{
    for (const std::shared_ptr<Run> &run : runs_) {
        if (run)
            run->cancel();
    }
}

void FixActions::press(Target target)
{
    const HintState hint = hintOf(model_.state(), target);
    // The phone shown, whose hint this is; none when no phone is plugged in.
    const DeviceSession *shown = model_.session(model_.shownPhone());
    const QString phone = shown && shown->detected ? shown->udid : QString();
    const QString session = shown ? shown->udid : QString();
    if (hint.fixRunning) {
        if (runs_[target])
            runs_[target]->cancel();
        return;
    }
    const AppEnvironment environment = model_.environment();
    const std::optional<failure::FixCommand> command = failure::fixCommand(
        hint.fix, environment.tools, phone, environment.goIosAgent(),
        hint.fix == failure::Fix::MountImage
            ? environment.dataSubfolder(QStringLiteral("devimages"))
            : QString());
    if (!command)
        return;
    consoleLine(QStringLiteral("Running ") + command->tool + u' ' + command->arguments.join(u' '));
    changeHint(model_, session, target, [](HintState &h) {
        h.fixRunning = true;
        h.fixResult.clear();
    });

    auto run = std::make_shared<Run>();
    runs_[target] = run;
    const MainQueue queue = queue_;
    FixActions *const receiver = this;
    const failure::Fix fix = hint.fix;
    const milliseconds deadline = environment.timings.fixDeadline;
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [command = *command, run, queue, receiver, target, fix, deadline, session,
         variables = environment.childEnvironment()] {
            QString result;
            const ChildProcess::Launch launched = ChildProcess::launch(
                command.path, command.arguments, ChildProcess::Output::Pipe, variables);
            if (!launched.process) {
                result = QStringLiteral("❌ Error running ") + command.tool + QStringLiteral(": ")
                    + launched.error;
            } else {
                {
                    std::lock_guard lock(run->mutex);
                    run->process = launched.process;
                    if (run->cancelled)
                        launched.process->kill();
                }
                if (!launched.process->waitForExit(deadline))
                    launched.process->kill();
                launched.process->waitForExit(milliseconds(-1)); // reaped, whatever happened
                const QByteArray output = launched.process->takeOutput();
                for (const QByteArray &line : output.split('\n')) {
                    if (!line.trimmed().isEmpty())
                        consoleLine(goios::consoleText(line.trimmed()));
                }
                std::lock_guard lock(run->mutex);
                run->process.reset();
                result = run->cancelled ? QStringLiteral("Cancelled.")
                                        : outcome(fix, command.tool, *launched.process, output);
            }
            consoleLine(command.tool + QStringLiteral(": ") + result);
            queue.post([receiver, run, target, result, session] {
                if (receiver->runs_[target] != run) // superseded meanwhile
                    return;
                receiver->runs_[target].reset();
                // A hint cleared meanwhile (a new spoof, the phone unplugged) stays cleared.
                const DeviceSession *owner = receiver->model_.session(session);
                const HintState &now = owner ? (target == Device ? owner->deviceHint
                                                                 : owner->spoofHint)
                                             : hintOf(receiver->model_.state(), target);
                if (!now.fixRunning)
                    return;
                changeHint(receiver->model_, session, target, [&](HintState &h) {
                    h.fixRunning = false;
                    h.fixResult = result;
                });
            });
        });
}
