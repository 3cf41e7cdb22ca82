#include "widgets/HintRow.h"

#include "widgets/Style.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

HintRow::HintRow(const QString &name, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(name);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    label_ = new QLabel(this);
    label_->setObjectName(name + QStringLiteral("Label"));
    label_->setTextFormat(Qt::PlainText);
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label_->setFont(style::font(style::TextStyle::Caption));
    layout->addWidget(label_);
    button_ = new QPushButton(this);
    button_->setObjectName(name + QStringLiteral("Button"));
    layout->addWidget(button_, 0, Qt::AlignLeft);
    connect(button_, &QPushButton::clicked, this, &HintRow::buttonPressed);
    setVisible(false);
}

void HintRow::render(const QString &text, const QString &buttonText, const QString &tooltip)
{
    label_->setText(text);
    button_->setText(buttonText);
    button_->setAccessibleName(buttonText);
    button_->setToolTip(tooltip);
    button_->setVisible(!buttonText.isEmpty());
    if (isVisibleTo(parentWidget()) != !text.isEmpty())
        setVisible(!text.isEmpty());
}
