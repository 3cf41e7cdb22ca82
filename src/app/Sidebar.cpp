#include "app/Sidebar.h"

#include "device/DevicePanel.h"
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
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

constexpr int kPadding = 12; // left and right of everything in the sidebar
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
                          "QPushButton:focus { border: 2px solid palette(highlight);"
                          " padding: 5px 8px; }"
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

// One section's page: it scrolls up and down when the sidebar is too short for it, never
// sideways. Its minimum width is its content's, with room for the slim scroll bar, so the
// content is never cut at the right and never slides sideways when a control takes the focus.
class PageScroll : public QScrollArea
{
public:
    explicit PageScroll(QWidget *page, QWidget *parent)
        : QScrollArea(parent)
    {
        setObjectName(page->objectName() + QStringLiteral("Scroll"));
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWidgetResizable(true);
        auto *content = new QWidget;
        content->setObjectName(page->objectName() + QStringLiteral("Content"));
        layout_ = new QVBoxLayout(content);
        layout_->setContentsMargins(0, 8, 0, 4);
        layout_->setSpacing(0);
        layout_->addWidget(page);
        layout_->addStretch(1);
        setWidget(content);
        // The sidebar's own surface shows through (setWidget() turns filling on).
        viewport()->setAutoFillBackground(false);
        content->setAutoFillBackground(false);
        QScrollBar *bar = verticalScrollBar();
        bar->setObjectName(objectName() + QStringLiteral("Bar"));
        connect(bar, &QScrollBar::rangeChanged, this, [this](int, int maximum) {
            layout_->setContentsMargins(0, 8, maximum > 0 ? kScrollBarWidth + 2 : 0, 4);
        });
        styleBar();
    }

    void styleBar()
    {
        QColor handle = palette().color(QPalette::WindowText);
        handle.setAlphaF(0.3f);
        verticalScrollBar()->setStyleSheet(
            QStringLiteral(
                "QScrollBar:vertical { width: %1px; background: transparent; margin: 0; }"
                "QScrollBar::handle:vertical { background: %2; border-radius: 3px;"
                " min-height: 24px; margin: 0 1px; }"
                "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {"
                " background: none; }")
                .arg(kScrollBarWidth)
                .arg(handle.name(QColor::HexArgb)));
    }

    QSize sizeHint() const override
    {
        const QWidget *content = widget();
        const QSize wanted = content->sizeHint();
        return {wanted.width() + kScrollBarWidth + 2, wanted.height()};
    }
    QSize minimumSizeHint() const override
    {
        return {widget()->minimumSizeHint().width() + kScrollBarWidth + 2, 0};
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == widget() && event->type() == QEvent::LayoutRequest)
            updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::PaletteChange)
            styleBar();
        QScrollArea::changeEvent(event);
    }

private:
    QVBoxLayout *layout_;
};

} // namespace

Sidebar::Sidebar(DevicePanel *devicePanel, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("sidebar"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(kPadding, 8, kPadding, 10);
    outer->setSpacing(0);

    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    const int iconSize = QFontMetrics(style::font(style::TextStyle::Headline)).ascent();
    auto *icon = new QLabel(this);
    icon->setPixmap(
        style::picture(QStringLiteral("location"), {iconSize, iconSize}, devicePixelRatioF()));
    titleRow->addWidget(icon);
    auto *title = new QLabel(QStringLiteral("PinDrift"), this);
    title->setFont(style::font(style::TextStyle::Headline));
    titleRow->addWidget(title);
    titleRow->addStretch();
    auto *version = secondaryLabel(QStringLiteral("ver 1.0"), style::TextStyle::Caption2, this);
    version->setObjectName(QStringLiteral("versionFooter"));
    titleRow->addWidget(version, 0, Qt::AlignBottom);
    outer->addLayout(titleRow);
    outer->addSpacing(8);

    deviceBox_ = new QFrame(this);
    deviceBox_->setObjectName(QStringLiteral("deviceBox"));
    auto *boxLayout = new QVBoxLayout(deviceBox_);
    boxLayout->setContentsMargins(10, 8, 10, 8);
    devicePanel->setParent(deviceBox_);
    boxLayout->addWidget(devicePanel);
    // In the sidebar's own layout, not a nested one: a box that grows widens the sidebar's wish
    // at once.
    outer->addWidget(deviceBox_);
    outer->addSpacing(8);

    sections_ = new QTabWidget(this);
    sections_->setObjectName(QStringLiteral("sidebarSections"));
    sections_->setAccessibleName(QStringLiteral("Sidebar sections"));
    sections_->setDocumentMode(true);
    sections_->setUsesScrollButtons(false);
    sections_->tabBar()->setObjectName(QStringLiteral("sidebarTabs"));
    sections_->tabBar()->setAccessibleName(QStringLiteral("Sidebar sections"));
    sections_->tabBar()->setExpanding(false);
    sections_->tabBar()->setDrawBase(true);
    outer->addWidget(sections_, 1);

    // From here down, fixed to the bottom edge: the lines grow upwards into the sections.
    lockStatus_ = secondaryLabel(QString(), style::TextStyle::Caption, this);
    lockStatus_->setObjectName(QStringLiteral("lockStatusLabel"));
    lockStatus_->setWordWrap(true);
    lockStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lockStatus_->setContentsMargins(0, 6, 0, 0);
    outer->addWidget(lockStatus_);
    hint_ = new HintRow(QStringLiteral("spoofHint"), this);
    hint_->setContentsMargins(0, 6, 0, 0);
    outer->addWidget(hint_);
    connect(hint_, &HintRow::buttonPressed, this, &Sidebar::fixRequested);
    outer->addSpacing(8);

    lockButton_ = new QPushButton(kSpoofTitle, this);
    lockButton_->setObjectName(QStringLiteral("lockButton"));
    lockButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    outer->addWidget(lockButton_);
    connect(lockButton_, &QPushButton::clicked, this, &Sidebar::toggleLockRequested);
    outer->addSpacing(8);

    resetButton_ = new QPushButton(QStringLiteral("↺ Reset Location"), this);
    resetButton_->setObjectName(QStringLiteral("resetButton"));
    resetButton_->setAccessibleName(QStringLiteral("Reset Location"));
    resetButton_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    outer->addWidget(resetButton_);
    connect(resetButton_, &QPushButton::clicked, this, &Sidebar::resetRequested);

#ifdef Q_OS_MACOS
    const QString modifier = QStringLiteral("⌘");
#else
    const QString modifier = QStringLiteral("Ctrl+");
#endif
    resetButton_->setToolTip(
        QStringLiteral("Give the iPhone its real position back, whether or not PinDrift holds "
                       "one (%1R)")
            .arg(modifier));
    applyPalette();
}

int Sidebar::addSection(const QString &title, QWidget *page, const QString &tooltip)
{
    auto *scroll = new PageScroll(page, sections_);
    const int index = sections_->addTab(scroll, title);
    sections_->setTabToolTip(index, tooltip.isEmpty() ? title : tooltip);
    return index;
}

namespace {

// Holds a widget and the gap below it, and hides with it: a hidden widget leaves no gap.
class GapBelow : public QWidget
{
public:
    explicit GapBelow(QWidget *widget)
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 8);
        layout->addWidget(widget);
        setVisible(!widget->isHidden());
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ShowToParent)
            setVisible(true);
        else if (event->type() == QEvent::HideToParent)
            setVisible(false);
        return QWidget::eventFilter(watched, event);
    }
};

} // namespace

void Sidebar::addAboveDevice(QWidget *widget)
{
    auto *outer = static_cast<QVBoxLayout *>(layout());
    outer->insertWidget(outer->indexOf(deviceBox_), new GapBelow(widget));
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
#ifdef Q_OS_MACOS
        const QString shortcut = QStringLiteral("⌘L");
#else
        const QString shortcut = QStringLiteral("Ctrl+L");
#endif
        lockButton_->setToolTip(
            locked
                ? QStringLiteral("Give the iPhone its real position back (%1)").arg(shortcut)
                : QStringLiteral("Make the iPhone report the pin's position (%1)").arg(shortcut));
        lockButton_->setStyleSheet(prominentStyle(fill));
        lockButton_->setProperty("fillColor", fill);
    }
    lockButton_->setEnabled(!s.disabledLockButton);
    resetButton_->setEnabled(!s.udidLabelText.isEmpty() && !s.disabledLockButton);
    lockStatus_->setText(s.lockStatusText);
    lockStatus_->setVisible(!s.lockStatusText.isEmpty());
    hint_->render(s.spoofHint.text(), s.spoofHint.buttonText(),
                  failure::fixTooltip(s.spoofHint.fix));
}

void Sidebar::applyPalette()
{
    // A box a shade off the sidebar's surface, in a light palette and in a dark one alike.
    const QColor text = palette().color(QPalette::WindowText);
    QColor fill = text;
    fill.setAlphaF(0.05f);
    QColor border = text;
    border.setAlphaF(0.12f);
    deviceBox_->setStyleSheet(
        QStringLiteral("QFrame#deviceBox { background: %1; border: 1px solid %2;"
                       " border-radius: 8px; }")
            .arg(fill.name(QColor::HexArgb), border.name(QColor::HexArgb)));
}

void Sidebar::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
    QWidget::changeEvent(event);
}

void Sidebar::paintEvent(QPaintEvent *)
{
    // A quiet surface a shade off the window's, in place of the translucent sidebar material.
    QPainter painter(this);
    painter.fillRect(rect(), style::sidebarSurface(palette()));
}
