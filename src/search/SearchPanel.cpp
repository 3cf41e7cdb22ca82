#include "search/SearchPanel.h"

#include "search/PlaceSearch.h"
#include "widgets/Style.h"
#include "widgets/TextWidgets.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QScrollArea>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

constexpr int kDetailRole = Qt::UserRole;
constexpr int kAddressRole = Qt::UserRole + 1;

// A result on up to three lines: its name, and under it, smaller and dimmed, its kind and
// country, then its address, which tells apart two places of one name.
class ResultDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        const QWidget *view = option.widget;
        QStyle *style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, view);

        const bool selected = option.state & QStyle::State_Selected;
        const QRect area = option.rect.adjusted(kPadding, kPadding, -kPadding, -kPadding);
        const QFont detailFont = style::font(style::TextStyle::Caption, option.font);
        const QFontMetrics nameMetrics(option.font);
        const QFontMetrics detailMetrics(detailFont);
        painter->save();
        painter->setPen(
            option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(
            area.topLeft() + QPoint(0, nameMetrics.ascent()),
            nameMetrics.elidedText(index.data().toString(), Qt::ElideRight, area.width()));
        QColor dim = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        dim.setAlphaF(0.65f);
        painter->setPen(dim);
        painter->setFont(detailFont);
        painter->drawText(area.topLeft() + QPoint(0, nameMetrics.height() + detailMetrics.ascent()),
                          detailMetrics.elidedText(index.data(kDetailRole).toString(),
                                                   Qt::ElideRight, area.width()));
        painter->drawText(
            area.topLeft()
                + QPoint(0, nameMetrics.height() + detailMetrics.height() + detailMetrics.ascent()),
            detailMetrics.elidedText(index.data(kAddressRole).toString(), Qt::ElideMiddle,
                                     area.width()));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QFont detailFont = style::font(style::TextStyle::Caption, option.font);
        const int detailLines = index.data(kAddressRole).toString().isEmpty() ? 1 : 2;
        return {0,
                QFontMetrics(option.font).height() + detailLines * QFontMetrics(detailFont).height()
                    + 2 * kPadding};
    }

private:
    static constexpr int kPadding = 4;
};

} // namespace

SearchPanel::SearchPanel(PlaceSearch &search, QWidget *parent)
    : QWidget(parent)
    , search_(search)
{
    setObjectName(QStringLiteral("searchPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("searchField"));
    field_->setPlaceholderText(QStringLiteral("Search places or paste coordinates"));
    field_->setAccessibleName(QStringLiteral("Search places"));
    field_->setToolTip(
        QStringLiteral("A place's name, coordinates or a map link; Return searches"));
    field_->setClearButtonEnabled(true);
    field_->installEventFilter(this);
    layout->addWidget(field_);
    connect(field_, &QLineEdit::returnPressed, this, [this] { search_.submit(field_->text()); });

    status_ = captionLabel(this, QStringLiteral("searchStatus"));
    layout->addWidget(status_);

    results_ = new QListWidget(this);
    results_->setObjectName(QStringLiteral("searchResults"));
    results_->setAccessibleName(QStringLiteral("Places found"));
    results_->setTextElideMode(Qt::ElideRight);
    results_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    results_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    results_->setItemDelegate(new ResultDelegate(results_));
    results_->installEventFilter(this);
    layout->addWidget(results_);
    connect(results_, &QListWidget::itemClicked, this, [this] { pickCurrent(); });

    auto *find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, &SearchPanel::focusField);

    connect(&search_, &PlaceSearch::changed, this, &SearchPanel::render);
    render();
}

void SearchPanel::focusField()
{
    field_->setFocus(Qt::ShortcutFocusReason);
    field_->selectAll();
    for (QWidget *up = parentWidget(); up; up = up->parentWidget()) {
        if (auto *scroll = qobject_cast<QScrollArea *>(up)) {
            scroll->ensureWidgetVisible(field_);
            break;
        }
    }
}

void SearchPanel::render()
{
    status_->setText(search_.statusLine());
    status_->setVisible(!search_.statusLine().isEmpty());

    const QList<search::FoundPlace> &places = search_.results();
    const bool hadFocus = results_->hasFocus();
    results_->clear();
    for (const search::FoundPlace &place : places) {
        QString detail = place.kind;
        if (!place.country.isEmpty())
            detail += (detail.isEmpty() ? QString() : QStringLiteral(" · ")) + place.country;
        auto *item = new QListWidgetItem(place.name);
        item->setData(kDetailRole, detail);
        item->setData(kAddressRole, place.address);
        item->setData(Qt::AccessibleTextRole,
                      QStringList {place.name, detail, place.address}.join(QStringLiteral(", ")));
        const QString at = coordinates::formatDegrees(place.coordinate.latitude)
            + QStringLiteral(", ") + coordinates::formatDegrees(place.coordinate.longitude);
        item->setToolTip(place.address.isEmpty() ? at : place.address + u'\n' + at);
        results_->addItem(item);
    }
    results_->setVisible(!places.isEmpty());
    if (!places.isEmpty()) {
        // Every row in sight: the sidebar scrolls, not the list.
        int height = 2 * results_->frameWidth();
        for (int row = 0; row < results_->count(); ++row)
            height += results_->sizeHintForRow(row);
        results_->setFixedHeight(height);
        results_->setCurrentRow(0);
    } else if (hadFocus) {
        field_->setFocus();
    }
}

void SearchPanel::pickCurrent()
{
    const int row = results_->currentRow();
    field_->setFocus();
    search_.choose(row);
}

bool SearchPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent *>(event)->key();
    const bool open = !search_.results().isEmpty();
    if (watched == field_ && open && key == Qt::Key_Down) {
        results_->setFocus(Qt::OtherFocusReason);
        results_->setCurrentRow(0);
        return true;
    }
    if (open && key == Qt::Key_Escape) {
        field_->setFocus();
        search_.closeResults();
        return true;
    }
    if (watched == results_) {
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            pickCurrent();
            return true;
        }
        if (key == Qt::Key_Up && results_->currentRow() == 0) {
            field_->setFocus();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
