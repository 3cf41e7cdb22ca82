#include "app/SetupBanner.h"

#include "widgets/Style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

SetupBanner::SetupBanner(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("setupBanner"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);

    const int iconSize = QFontMetrics(style::font(style::TextStyle::Subheadline)).height();
    auto *icon = new QLabel(this);
    icon->setPixmap(
        style::picture(QStringLiteral("warning"), {iconSize, iconSize}, devicePixelRatioF()));
    icon->setContentsMargins(0, 1, 0, 0);
    icon->setAccessibleName(QStringLiteral("Warning"));
    layout->addWidget(icon, 0, Qt::AlignTop);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *title = new QLabel(QStringLiteral("Before you spoof a location"), this);
    QFont titleFont = style::font(style::TextStyle::Subheadline);
    titleFont.setBold(true);
    title->setFont(titleFont);
    texts->addWidget(title);
    auto *body = new QLabel(this);
    body->setObjectName(QStringLiteral("setupBannerText"));
    body->setTextFormat(Qt::RichText);
    body->setText(QStringLiteral(
        "On your iPhone: enable <b>Developer Mode</b> (Settings → Privacy &amp; Security → "
        "Developer Mode) and tap <b>Trust This Computer</b> if prompted. Both are required "
        "before location spoofing will work."));
    body->setWordWrap(true);
    body->setFont(style::font(style::TextStyle::Caption));
    QPalette dim = body->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(body));
    body->setPalette(dim);
    texts->addWidget(body);
    layout->addLayout(texts, 1);

    auto *close = new QToolButton(this);
    close->setObjectName(QStringLiteral("closeBannerButton"));
    close->setAccessibleName(QStringLiteral("Close setup notice"));
    close->setToolTip(QStringLiteral("Close"));
    close->setAutoRaise(true);
    close->setIcon(QIcon(style::picture(QStringLiteral("xmark"), {14, 14}, devicePixelRatioF())));
    close->setIconSize({14, 14});
    close->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    layout->addWidget(close, 0, Qt::AlignTop);
    connect(close, &QToolButton::clicked, this, &SetupBanner::closeRequested);
}

void SetupBanner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QColor fill = style::kYellow;
    fill.setAlphaF(0.15f);
    painter.fillRect(rect(), fill);
    QColor line = style::kYellow;
    line.setAlphaF(0.4f);
    painter.fillRect(QRect(0, height() - 1, width(), 1), line);
}
