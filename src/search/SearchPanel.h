#pragma once

#include <QWidget>

class PlaceSearch;
class QLabel;
class QLineEdit;
class QListWidget;

// The search field with its one status line and, while there are any, the results under it.
// Return searches; Down goes into the results, Return picks one, Escape closes them; the
// window's Find shortcut (Ctrl+F, Cmd+F) comes to the field.
class SearchPanel : public QWidget
{
    Q_OBJECT
public:
    explicit SearchPanel(PlaceSearch &search, QWidget *parent = nullptr);

    void render();
    void focusField();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void pickCurrent();

    PlaceSearch &search_;
    QLineEdit *field_;
    QLabel *status_;
    QListWidget *results_;
};
