#include "app/Sidebar.h"

#include "device/DevicePanel.h"
#include "map/CoordinatesPanel.h"
#include "state/ScreenState.h"
#include "widgets/Style.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kSpoofTitle = QStringLiteral("🔒 Spoof Location");
const QString kUnlockTitle = QStringLiteral("🔓 Unlock Location");

QString prominentStyle(const QColor &fill)
{
    QColor disabled = fill;
    disabled.setAlphaF(0.4f);
    return QStringLiteral("QPushButton { background-color: %1; color: white; border: none;"
                          " border-radius: 6px; padding: 7px 10px; font-weight: 600; }"
                          "QPushButton:hover { background-color: %2; }"
                          "QPushButton:pressed { background-color: %3; }"
                          "QPushButton:focus { border: 2px solid palette(highlight); }"
                          "QPushButton:disabled { background-color: %4;"
                          " color: rgba(255, 255, 255, 190); }")
        .arg(fill.name(), fill.lighter(110).name(), fill.darker(115).name(),
             disabled.name(QColor::HexArgb));
}

QLabel *secondaryLabel(const QString &text, style::TextStyle textStyle, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(style::font(textStyle));
    QPalette dim = label->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(label));
    label->setPalette(dim);
    return label;
}

} // namespace

Sidebar::Sidebar(DevicePanel *devicePanel, CoordinatesPanel *coordinatesPanel, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(kWidth);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->setSpacing(0);
    // The 16-point gaps give way first when the window is too short for everything, so the
    // controls themselves keep their height.
    const auto gap = [layout](int points) {
        layout->addSpacerItem(
            new QSpacerItem(0, points, QSizePolicy::Minimum, QSizePolicy::Maximum));
    };

    gap(18);
    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    const int iconSize = QFontMetrics(style::font(style::TextStyle::Title2)).ascent();
    auto *icon = new QLabel(this);
    icon->setPixmap(
        style::picture(QStringLiteral("location"), {iconSize, iconSize}, devicePixelRatioF()));
    titleRow->addWidget(icon);
    auto *title = new QLabel(QStringLiteral("PinDrift"), this);
    title->setFont(style::font(style::TextStyle::Headline));
    titleRow->addWidget(title);
    titleRow->addStretch();
    layout->addLayout(titleRow);
    gap(16);

    auto *box = new QFrame(this);
    box->setObjectName(QStringLiteral("deviceBox"));
    box->setStyleSheet(
        QStringLiteral("QFrame#deviceBox { background: rgba(0, 0, 0, 12);"
                       " border: 1px solid rgba(0, 0, 0, 22); border-radius: 8px; }"));
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(10, 10, 10, 10);
    devicePanel->setParent(box);
    boxLayout->addWidget(devicePanel);
    layout->addWidget(box);
    gap(16);

    coordinatesPanel->setParent(this);
    layout->addWidget(coordinatesPanel);
    gap(16);

    lockButton_ = new QPushButton(kSpoofTitle, this);
    lockButton_->setObjectName(QStringLiteral("lockButton"));
    lockButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    layout->addWidget(lockButton_);
    connect(lockButton_, &QPushButton::clicked, this, &Sidebar::toggleLockRequested);
    gap(16);

    resetButton_ = new QPushButton(QStringLiteral("↺ Reset Location"), this);
    resetButton_->setObjectName(QStringLiteral("resetButton"));
    resetButton_->setAccessibleName(QStringLiteral("Reset Location"));
    resetButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    layout->addWidget(resetButton_);
    connect(resetButton_, &QPushButton::clicked, this, &Sidebar::resetRequested);
    statusGap_ = new QSpacerItem(0, 16, QSizePolicy::Minimum, QSizePolicy::Maximum);
    layout->addSpacerItem(statusGap_);

    lockStatus_ = secondaryLabel(QString(), style::TextStyle::Caption, this);
    lockStatus_->setObjectName(QStringLiteral("lockStatusLabel"));
    lockStatus_->setWordWrap(true);
    lockStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lockStatus_);

    gap(16);
    layout->addStretch(1);
    gap(16);

    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    gap(16);

    auto *footer = new QHBoxLayout;
    auto *version = secondaryLabel(QStringLiteral("ver 1.0"), style::TextStyle::Caption2, this);
    version->setObjectName(QStringLiteral("versionFooter"));
    footer->addWidget(version);
    footer->addStretch();
    layout->addLayout(footer);
    gap(14);
}

void Sidebar::render(const ScreenState &s)
{
    const bool locked = s.isLocationLocked;
    if (!lookApplied_ || locked != lockedLook_) {
        lockedLook_ = locked;
        lookApplied_ = true;
        const QColor fill = locked ? style::kRed : style::kBlue;
        lockButton_->setText(locked ? kUnlockTitle : kSpoofTitle);
        lockButton_->setAccessibleName(locked ? QStringLiteral("Unlock Location")
                                              : QStringLiteral("Spoof Location"));
        lockButton_->setStyleSheet(prominentStyle(fill));
        lockButton_->setProperty("fillColor", fill);
    }
    lockButton_->setEnabled(!s.disabledLockButton);
    resetButton_->setEnabled(!s.udidLabelText.isEmpty() && !s.disabledLockButton);
    lockStatus_->setText(s.lockStatusText);
    // An empty status line takes no space, its gap included.
    const bool statusShown = !s.lockStatusText.isEmpty();
    if (lockStatus_->isVisibleTo(this) != statusShown || !statusGapSet_) {
        statusGapSet_ = true;
        lockStatus_->setVisible(statusShown);
        statusGap_->changeSize(0, statusShown ? 16 : 0, QSizePolicy::Minimum, QSizePolicy::Maximum);
        layout()->invalidate();
    }
}

void Sidebar::paintEvent(QPaintEvent *)
{
    // A quiet, slightly darker surface in place of the translucent sidebar material.
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(104));
}
