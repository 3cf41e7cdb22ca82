#pragma once

#include <QWidget>

class QPlainTextEdit;

// Every console line of this run, newest last, selectable and copyable, updated live. For a
// program started from a desktop menu, where there is no terminal to read.
class LogWindow : public QWidget
{
    Q_OBJECT
public:
    explicit LogWindow(QWidget *parent = nullptr);

    QString text() const;

private:
    void append(const QString &line);

    QPlainTextEdit *view_;
};
