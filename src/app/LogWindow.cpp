#include "app/LogWindow.h"

#include "platform/Console.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

LogWindow::LogWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , view_(new QPlainTextEdit(this))
{
    setWindowTitle(QStringLiteral("PinDrift Console Log"));
    setObjectName(QStringLiteral("logWindow"));
    resize(720, 420);
    view_->setObjectName(QStringLiteral("logView"));
    view_->setAccessibleName(QStringLiteral("Console log"));
    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    view_->setMaximumBlockCount(static_cast<int>(ConsoleLog::maxLines));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);

    // Subscribe first, then copy what came before: a line written in between may show twice
    // at worst, never go missing.
    connect(&ConsoleLog::instance(), &ConsoleLog::lineAdded, this, &LogWindow::append,
            Qt::QueuedConnection);
    const QStringList earlier = ConsoleLog::instance().lines();
    view_->setPlainText(earlier.join(u'\n'));
    view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
}

QString LogWindow::text() const
{
    return view_->toPlainText();
}

void LogWindow::append(const QString &line)
{
    QScrollBar *bar = view_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    view_->appendPlainText(line);
    if (atEnd)
        bar->setValue(bar->maximum());
}
