#include "app/LogWindow.h"

#include "platform/Console.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

QPushButton *toolButton(const QString &text, const char *name, const QString &tooltip,
                        QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(tooltip);
    button->setAutoDefault(false);
    return button;
}

} // namespace

LogWindow::LogWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , view_(new QPlainTextEdit(this))
    , status_(new QLabel(this))
    , queue_(this)
{
    setWindowTitle(QStringLiteral("PinDrift Console Log"));
    setObjectName(QStringLiteral("logWindow"));
    resize(720, 420);
    view_->setObjectName(QStringLiteral("logView"));
    view_->setAccessibleName(QStringLiteral("Console log"));
    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view_->setMaximumBlockCount(static_cast<int>(ConsoleLog::maxLines));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto *copy = toolButton(QStringLiteral("Copy"), "copyLogButton",
                            QStringLiteral("Copy the selected lines, or all of them"), this);
    auto *save = toolButton(QStringLiteral("Save as…"), "saveLogButton",
                            QStringLiteral("Write the lines to a text file"), this);
    auto *clear = toolButton(QStringLiteral("Clear"), "clearLogButton",
                             QStringLiteral("Empty this window; new lines keep coming"), this);
    connect(copy, &QPushButton::clicked, this, &LogWindow::copy);
    connect(save, &QPushButton::clicked, this, &LogWindow::chooseFileAndSave);
    connect(clear, &QPushButton::clicked, this, &LogWindow::clear);
    status_->setObjectName(QStringLiteral("logStatus"));
    status_->setTextFormat(Qt::PlainText);

    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(8, 6, 8, 8);
    bar->addWidget(status_, 1);
    bar->addWidget(copy);
    bar->addWidget(save);
    bar->addWidget(clear);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_, 1);
    layout->addLayout(bar);

    for (const QKeySequence &keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto *shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }

    // Subscribe first, then copy what came before: a line written in between may show twice
    // at worst, never go missing.
    connect(&ConsoleLog::instance(), &ConsoleLog::lineAdded, this, &LogWindow::append,
            Qt::QueuedConnection);
    const QStringList earlier = ConsoleLog::instance().lines();
    view_->setPlainText(earlier.join(u'\n'));
    view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
}

LogWindow::~LogWindow()
{
    queue_.close();
}

QString LogWindow::text() const
{
    return view_->toPlainText();
}

void LogWindow::copy()
{
    const QString selected =
        view_->textCursor().selectedText().replace(QChar::ParagraphSeparator, u'\n');
    QApplication::clipboard()->setText(selected.isEmpty() ? text() : selected);
}

void LogWindow::clear()
{
    view_->clear();
    status_->clear();
}

void LogWindow::chooseFileAndSave()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save Console Log"),
                                     QDir::home().filePath(QStringLiteral("PinDrift console.txt")),
                                     QStringLiteral("Text files (*.txt);;All files (*)"));
    if (!path.isEmpty())
        saveTo(path);
}

void LogWindow::saveTo(const QString &path)
{
    status_->setText(QStringLiteral("Saving…"));
    // Told through the queue, which this window closes before it goes.
    const auto report = [label = status_](const QString &line) { label->setText(line); };
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [path, bytes = (text() + u'\n').toUtf8(), queue = queue_, report] {
            QSaveFile file(path);
            const bool saved = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                && file.commit();
            const QString line = saved
                ? QStringLiteral("Saved to %1").arg(QFileInfo(path).fileName())
                : QStringLiteral("Could not save %1: %2")
                      .arg(QFileInfo(path).fileName(), file.errorString());
            queue.post([report, line] { report(line); });
        });
}

void LogWindow::append(const QString &line)
{
    QScrollBar *bar = view_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    view_->appendPlainText(line);
    if (atEnd)
        bar->setValue(bar->maximum());
}
