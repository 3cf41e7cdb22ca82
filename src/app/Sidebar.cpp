#include "app/Sidebar.h"

#include "device/DevicePanel.h"
#include "map/CoordinatesPanel.h"
#include "state/ScreenState.h"
#include "widgets/HintRow.h"
#include "widgets/Style.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace {

constexpr int kScrollBarWidth = 8;
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

// As tall as its content wants, so the controls below it follow the sections directly; it only
// shrinks (and scrolls) when the window is too short.
class SectionScroll : public QScrollArea
{
public:
    using QScrollArea::QScrollArea;

    QSize sizeHint() const override
    {
        QWidget *content = widget();
        if (!content)
            return QScrollArea::sizeHint();
        // Wrapped labels make the content's height depend on its width.
        const int height = content->hasHeightForWidth() ? content->heightForWidth(width())
                                                        : content->sizeHint().height();
        return {QScrollArea::sizeHint().width(), height + 2 * frameWidth()};
    }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == widget() && event->type() == QEvent::LayoutRequest)
            updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }
};

} // namespace

Sidebar::Sidebar(DevicePanel *devicePanel, CoordinatesPanel *coordinatesPanel, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(kWidth);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    // When the window is too short, the scrolling sections give way; the gaps keep their size.
    const auto gap = [](QVBoxLayout *layout, int points) {
        layout->addSpacerItem(new QSpacerItem(0, points, QSizePolicy::Minimum, QSizePolicy::Fixed));
    };
    const auto padded = [outer] {
        auto *layout = new QVBoxLayout;
        layout->setContentsMargins(16, 0, 16, 0);
        layout->setSpacing(0);
        outer->addLayout(layout);
        return layout;
    };

    QVBoxLayout *top = padded();
    gap(top, 18);
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
    top->addLayout(titleRow);
    gap(top, 16);

    // The device box, the coordinates and whatever sections follow them scroll when the window
    // is too short for them; the spoofing controls below stay in sight.
    scroll_ = new SectionScroll(this);
    scroll_->setObjectName(QStringLiteral("sidebarScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("sidebarSections"));
    sections_ = new QVBoxLayout(content);
    sections_->setContentsMargins(16, 0, 16, 0);
    sections_->setSpacing(16);
    scroll_->setWidget(content);
    // The sidebar's own surface shows through (setWidget() turns filling on).
    scroll_->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    outer->addWidget(scroll_);
    // A slim bar that lives in the right margin, so the sections keep their width when it shows.
    QScrollBar *bar = scroll_->verticalScrollBar();
    bar->setObjectName(QStringLiteral("sidebarScrollBar"));
    bar->setStyleSheet(
        QStringLiteral(
            "QScrollBar:vertical { width: %1px; background: transparent; margin: 0; }"
            "QScrollBar::handle:vertical { background: rgba(0, 0, 0, 70); border-radius: 3px;"
            " min-height: 24px; margin: 0 1px; }"
            "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
            "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(kScrollBarWidth));
    connect(bar, &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        sections_->setContentsMargins(16, 0, maximum > 0 ? 16 - kScrollBarWidth : 16, 0);
    });

    auto *box = new QFrame(content);
    box->setObjectName(QStringLiteral("deviceBox"));
    box->setStyleSheet(
        QStringLiteral("QFrame#deviceBox { background: rgba(0, 0, 0, 12);"
                       " border: 1px solid rgba(0, 0, 0, 22); border-radius: 8px; }"));
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(10, 10, 10, 10);
    devicePanel->setParent(box);
    boxLayout->addWidget(devicePanel);
    sections_->addWidget(box);
    sections_->addStretch(1);
    addSection(coordinatesPanel);

    QVBoxLayout *controls = padded();
    gap(controls, 16);
    lockButton_ = new QPushButton(kSpoofTitle, this);
    lockButton_->setObjectName(QStringLiteral("lockButton"));
    lockButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    controls->addWidget(lockButton_);
    connect(lockButton_, &QPushButton::clicked, this, &Sidebar::toggleLockRequested);
    gap(controls, 16);

    resetButton_ = new QPushButton(QStringLiteral("↺ Reset Location"), this);
    resetButton_->setObjectName(QStringLiteral("resetButton"));
    resetButton_->setAccessibleName(QStringLiteral("Reset Location"));
    resetButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    controls->addWidget(resetButton_);
    connect(resetButton_, &QPushButton::clicked, this, &Sidebar::resetRequested);
    statusGap_ = new QSpacerItem(0, 16, QSizePolicy::Minimum, QSizePolicy::Fixed);
    controls->addSpacerItem(statusGap_);

    lockStatus_ = secondaryLabel(QString(), style::TextStyle::Caption, this);
    lockStatus_->setObjectName(QStringLiteral("lockStatusLabel"));
    lockStatus_->setWordWrap(true);
    lockStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    controls->addWidget(lockStatus_);
    hint_ = new HintRow(QStringLiteral("spoofHint"), this);
    controls->addSpacing(6);
    controls->addWidget(hint_);
    connect(hint_, &HintRow::buttonPressed, this, &Sidebar::fixRequested);
    outer->addStretch(1);

    QVBoxLayout *bottom = padded();
    gap(bottom, 16);
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    bottom->addWidget(divider);
    gap(bottom, 16);

    auto *footer = new QHBoxLayout;
    auto *version = secondaryLabel(QStringLiteral("ver 1.0"), style::TextStyle::Caption2, this);
    version->setObjectName(QStringLiteral("versionFooter"));
    footer->addWidget(version);
    footer->addStretch();
    bottom->addLayout(footer);
    gap(bottom, 14);
}

void Sidebar::addSection(QWidget *section)
{
    section->setParent(sections_->parentWidget());
    sections_->insertWidget(sections_->count() - 1, section); // above the closing stretch
}

void Sidebar::addSectionAbove(QWidget *section, QWidget *below)
{
    section->setParent(sections_->parentWidget());
    sections_->insertWidget(sections_->indexOf(below), section);
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
    hint_->render(s.spoofHint.text(), s.spoofHint.buttonText(),
                  failure::fixTooltip(s.spoofHint.fix));
    // An empty status line takes no space, its gap included.
    const bool statusShown = !s.lockStatusText.isEmpty();
    if (lockStatus_->isVisibleTo(this) != statusShown || !statusGapSet_) {
        statusGapSet_ = true;
        lockStatus_->setVisible(statusShown);
        statusGap_->changeSize(0, statusShown ? 16 : 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
        lockStatus_->parentWidget()->layout()->invalidate();
    }
}

void Sidebar::paintEvent(QPaintEvent *)
{
    // A quiet, slightly darker surface in place of the translucent sidebar material.
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(104));
}
