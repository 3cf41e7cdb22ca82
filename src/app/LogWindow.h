#pragma once

#include "platform/Dispatch.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;

// Every console line of this run, newest last, wrapped to the window, selectable and copyable,
// updated live. For a program started from a desktop menu, where there is no terminal to read.
// Copy takes the selection (or everything), Save as… writes the lines to a file, Clear empties
// the window (the lines written from then on still come); Esc and Ctrl+W close it.
class LogWindow : public QWidget
{
    Q_OBJECT
public:
    explicit LogWindow(QWidget *parent = nullptr);
    ~LogWindow() override;

    QString text() const;
    void copy();
    void clear();
    // Writes what the window shows to `path` off the GUI thread; the line at the foot says how
    // it went.
    void saveTo(const QString &path);

private:
    void append(const QString &line);
    void chooseFileAndSave();

    QPlainTextEdit *view_;
    QLabel *status_;
    MainQueue queue_;
};
