#include "device/DevicePanel.h"

#include "state/ScreenState.h"
#include "widgets/HintRow.h"
#include "widgets/Style.h"
#include "widgets/TextWidgets.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kPictureSize = 42;

QWidget *valueRow(const QString &label, ValueField *value, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *name = new QLabel(label, row);
    name->setFont(style::font(style::TextStyle::Caption));
    QPalette dim = name->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(name));
    name->setPalette(dim);
    value->setParent(row);
    value->setFont(style::font(style::TextStyle::Caption));
    value->setAccessibleName(label);
    layout->addWidget(name);
    layout->addStretch(0);
    layout->addWidget(value, 1);
    return row;
}

} // namespace

DevicePanel::DevicePanel(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    picture_ = new QLabel(this);
    picture_->setObjectName(QStringLiteral("statusPicture"));
    picture_->setFixedSize(kPictureSize, kPictureSize);
    header->addWidget(picture_, 0, Qt::AlignVCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    status_ = new LineLimitedLabel(2, this);
    status_->setObjectName(QStringLiteral("statusLabel"));
    status_->setFont(style::font(style::TextStyle::Callout));
    texts->addWidget(status_);
    versionLine_ = new QLabel(this);
    versionLine_->setObjectName(QStringLiteral("versionLabel"));
    versionLine_->setTextFormat(Qt::PlainText);
    versionLine_->setFont(style::font(style::TextStyle::Caption));
    QPalette dim = versionLine_->palette();
    dim.setColor(QPalette::WindowText, style::secondaryText(versionLine_));
    versionLine_->setPalette(dim);
    texts->addWidget(versionLine_);
    header->addLayout(texts, 1);
    layout->addLayout(header);
    hint_ = new HintRow(QStringLiteral("deviceHint"), this);
    layout->addWidget(hint_);
    connect(hint_, &HintRow::buttonPressed, this, &DevicePanel::fixRequested);

    identityRows_ = new QWidget(this);
    auto *rows = new QVBoxLayout(identityRows_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    auto *divider = new QFrame(identityRows_);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    rows->addWidget(divider);
    rows->addSpacing(4);
    serial_ = new ValueField;
    serial_->setObjectName(QStringLiteral("serialValue"));
    udid_ = new ValueField;
    udid_->setObjectName(QStringLiteral("udidValue"));
    rows->addWidget(valueRow(QStringLiteral("Serial"), serial_, identityRows_));
    rows->addWidget(valueRow(QStringLiteral("UDID"), udid_, identityRows_));
    layout->addWidget(identityRows_);

    detectButton_ = new QPushButton(QStringLiteral("Detect Device"), this);
    detectButton_->setObjectName(QStringLiteral("detectButton"));
    detectButton_->setAccessibleName(QStringLiteral("Detect Device"));
    detectButton_->setToolTip(QStringLiteral("Look for a connected iPhone or iPad again"));
    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(detectButton_);
    buttonRow->addStretch();
    layout->addLayout(buttonRow);
    connect(detectButton_, &QPushButton::clicked, this, &DevicePanel::detectRequested);
}

QSize DevicePanel::sizeHint() const
{
    const QSize wanted = QWidget::sizeHint();
    return {std::max(wanted.width(), identityRows_->sizeHint().width()), wanted.height()};
}

void DevicePanel::render(const ScreenState &s)
{
    if (pictureName_ != s.statusIMGText) {
        pictureName_ = s.statusIMGText;
        picture_->setPixmap(
            style::picture(s.statusIMGText, {kPictureSize, kPictureSize}, devicePixelRatioF()));
        picture_->setAccessibleName(s.statusIMGText);
    }
    status_->setText(s.statusLabelText);
    hint_->render(s.deviceHint.text(), s.deviceHint.buttonText(),
                  failure::fixTooltip(s.deviceHint.fix));
    versionLine_->setVisible(!s.deviceiosLabelText.isEmpty());
    versionLine_->setText(QStringLiteral("iOS ") + s.deviceiosLabelText + QStringLiteral(" · ")
                          + s.productTypeLabelText);
    identityRows_->setVisible(!s.serialnumberLabelText.isEmpty());
    serial_->setValue(s.serialnumberLabelText);
    udid_->setValue(s.udidLabelText);
    detectButton_->setEnabled(!s.disabledDetectButtonSafety);
}
