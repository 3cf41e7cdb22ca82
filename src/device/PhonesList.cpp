#include "device/PhonesList.h"

#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "widgets/Style.h"

#include <QContextMenuEvent>
#include <QItemSelection>
#include <QMenu>
#include <QPainter>

namespace {

constexpr int kUdidRole = Qt::UserRole;
constexpr int kMostRowsShown = 4; // beyond that the list scrolls

QIcon colourDisc(const QColor &colour, qreal devicePixelRatio)
{
    const int side = 14;
    QPixmap pixmap(QSize(side, side) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour.darker(140), 1));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(1.5, 1.5, side - 3, side - 3));
    return QIcon(pixmap);
}

} // namespace

PhonesList::PhonesList(ScreenModel &model, SpoofController &spoof, QWidget *parent)
    : QListWidget(parent)
    , model_(model)
    , spoof_(spoof)
{
    setObjectName(QStringLiteral("phonesList"));
    setAccessibleName(QStringLiteral("Phones"));
    setAccessibleDescription(QStringLiteral(
        "The phones plugged in. The selected ones are those the location is set on."));
    setToolTip(QStringLiteral("Select the phones to act on: click, Ctrl-click, Shift-click, "
                              "Ctrl+A. Right-click a phone for the tool that reaches it."));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    setUniformItemSizes(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setVisible(false);
    connect(this, &QListWidget::itemSelectionChanged, this, &PhonesList::selectionToModel);
    connect(this, &QListWidget::currentItemChanged, this, &PhonesList::selectionToModel);
    connect(&model_, &ScreenModel::changed, this, &PhonesList::render);
    render();
}

QString PhonesList::detailText(const DeviceSession &phone)
{
    QString state;
    if (phone.spoofHint.shown() || phone.deviceHint.shown())
        state = QStringLiteral("failed ⚠️");
    else if (phone.detecting)
        state = QStringLiteral("checking…");
    else if (!phone.detected)
        state = QStringLiteral("not answering");
    else if (phone.moving && phone.isLocationLocked)
        state = QStringLiteral("moving");
    else if (phone.busy)
        state = phone.isLocationLocked ? QStringLiteral("moving…") : QStringLiteral("setting…");
    else if (phone.isLocationLocked && phone.heldAt)
        // Four decimals (about 10 m) fit the row; the panel has the whole figure.
        state = QStringLiteral("held at ") + QString::number(phone.heldAt->latitude, 'f', 4)
            + QStringLiteral(", ") + QString::number(phone.heldAt->longitude, 'f', 4);
    else
        state = QStringLiteral("idle");
    QStringList parts;
    if (!phone.iosVersion.isEmpty())
        parts << QStringLiteral("iOS ") + phone.iosVersion;
    parts << state;
    return parts.join(QStringLiteral(" · "));
}

void PhonesList::render()
{
    const QStringList &phones = model_.phones();
    setVisible(phones.size() >= 2);
    syncing_ = true;
    // The rows follow the phones, in the order they came.
    bool same = count() == phones.size();
    for (int row = 0; same && row < count(); ++row)
        same = item(row)->data(kUdidRole).toString() == phones[row];
    if (!same) {
        clear();
        const qreal dpr = devicePixelRatioF();
        for (const QString &udid : phones) {
            auto *row = new QListWidgetItem(this);
            row->setData(kUdidRole, udid);
            if (const DeviceSession *phone = model_.session(udid))
                row->setIcon(colourDisc(style::phoneColour(phone->colour), dpr));
        }
    }
    for (int row = 0; row < count(); ++row) {
        QListWidgetItem *line = item(row);
        const DeviceSession *phone = model_.session(phones[row]);
        if (!phone)
            continue;
        const QString details = detailText(*phone);
        // The model beside the name, so that the state has the second line to itself.
        const QString title = phone->productType.isEmpty() || phone->name.isEmpty()
            ? phone->shownName()
            : phone->name + QStringLiteral(" · ") + phone->productType;
        const QString text = title + u'\n' + details;
        if (line->text() != text) {
            line->setText(text);
            line->setToolTip(title + QStringLiteral("\nUDID ") + phone->udid
                             + QStringLiteral("\n") + details);
            line->setData(Qt::AccessibleTextRole,
                          QString(title + QStringLiteral(", ") + details));
        }
        const bool selected = model_.selectedPhones().contains(phone->udid);
        if (line->isSelected() != selected)
            line->setSelected(selected);
        if (phone->udid == model_.shownPhone() && currentItem() != line)
            setCurrentItem(line, QItemSelectionModel::NoUpdate);
    }
    setFixedHeight(rowsHeight());
    syncing_ = false;
}

int PhonesList::rowsHeight() const
{
    const int rows = std::clamp(count(), 1, kMostRowsShown);
    const int rowHeight =
        count() > 0 ? std::max(sizeHintForRow(0), 1) : 2 * fontMetrics().height() + 6;
    return rows * rowHeight + 2 * frameWidth() + 2;
}

void PhonesList::selectionToModel()
{
    if (syncing_)
        return;
    QStringList selected;
    for (const QListWidgetItem *line : selectedItems())
        selected << line->data(kUdidRole).toString();
    const QString current = currentItem() ? currentItem()->data(kUdidRole).toString() : QString();
    if (selected == model_.selectedPhones() && current == model_.shownPhone())
        return;
    model_.select(selected, current);
}

void PhonesList::contextMenuEvent(QContextMenuEvent *event)
{
    QListWidgetItem *line =
        event->reason() == QContextMenuEvent::Mouse ? itemAt(event->pos()) : currentItem();
    if (!line)
        return;
    const QString udid = line->data(kUdidRole).toString();
    const DeviceSession *phone = model_.session(udid);
    if (!phone)
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("phoneMenu"));
    const bool tunnel = SpoofController::usesTunnelChain(phone->iosVersion);
    const std::optional<IosChain> preferred = spoof_.preferredChain(udid);
    const auto choice = [&](const QString &text, const char *name, std::optional<IosChain> chain) {
        QAction *action = menu.addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(true);
        action->setChecked(preferred == chain);
        action->setEnabled(tunnel);
        connect(action, &QAction::triggered, this,
                [this, udid, chain] { spoof_.preferChain(udid, chain); });
    };
    choice(QStringLiteral("Usual Tool for iOS 17 and Later"), "usualChainAction", std::nullopt);
    choice(QStringLiteral("Reach Through pymobiledevice3"), "pymobiledevice3ChainAction",
           IosChain::PyMobileDevice3);
    choice(QStringLiteral("Reach Through go-ios"), "goIosChainAction", IosChain::GoIos);
    if (!tunnel)
        menu.addSection(QStringLiteral("This iOS version needs neither"));
    menu.exec(event->globalPos());
}
