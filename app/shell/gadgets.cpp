// Looking gadgets up by number and reading and writing their texts.
#include "app/shell/gadgets.h"

#include <QAbstractButton>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QStylePainter>
#include <utility>

namespace shell {

ImageButton::ImageButton(QPixmap picture, QWidget* parent)
    : QPushButton(parent), picture_(std::move(picture)) {}

void ImageButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  painter.drawControl(QStyle::CE_PushButtonBevel, option);
  // The frame stays visible around the picture, as on any other button.
  constexpr int kFrame = 2;
  painter.setClipRect(rect().adjusted(kFrame, kFrame, -kFrame, -kFrame));
  QPoint at((width() - picture_.width()) / 2, (height() - picture_.height()) / 2);
  if (isDown()) at += QPoint(1, 1);
  // Greyed like every other gadget while a password dialog has the window.
  painter.drawPixmap(at, isEnabled()
                             ? picture_
                             : style()->generatedIconPixmap(QIcon::Disabled, picture_, &option));
}

PathField::PathField(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);
  connect(this, &QLineEdit::textChanged, this, [this](const QString& path) { setToolTip(path); });
}

// The text's place inside the frame: the contents less the margins that
// QLineEdit keeps around its text (2 pixels across, 1 down).
QRect PathField::TextRect() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  return contents.marginsRemoved(textMargins()).adjusted(2, 1, -2, -1);
}

QString PathField::shownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, TextRect().width());
}

void PathField::paintEvent(QPaintEvent* event) {
  const QString shown = shownText();
  if (hasFocus() || shown == text()) {
    QLineEdit::paintEvent(event);
    return;
  }
  QPainter painter(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  painter.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

QString GadgetName(int number) {
  return QStringLiteral("gadget-%1").arg(number);
}

QWidget* FindGadget(const QWidget* root, int number) {
  if (root == nullptr) return nullptr;
  return root->findChild<QWidget*>(GadgetName(number));
}

std::string TextOf(const QWidget* gadget) {
  if (const auto* line = qobject_cast<const QLineEdit*>(gadget)) {
    return line->text().toStdString();
  }
  if (const auto* area = qobject_cast<const QPlainTextEdit*>(gadget)) {
    return area->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toStdString();
  }
  if (const auto* label = qobject_cast<const QLabel*>(gadget)) {
    return label->text().replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toStdString();
  }
  return {};
}

void SetTextOf(QWidget* gadget, std::string_view text) {
  QString value = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (auto* line = qobject_cast<QLineEdit*>(gadget)) {
    line->setText(value);
    // A long path shows its beginning, as a freshly filled field does.
    line->setCursorPosition(0);
    return;
  }
  value.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (auto* area = qobject_cast<QPlainTextEdit*>(gadget)) {
    area->setPlainText(value);
  } else if (auto* label = qobject_cast<QLabel*>(gadget)) {
    label->setText(value);
  }
}

bool IsOn(const QWidget* gadget) {
  const auto* button = qobject_cast<const QAbstractButton*>(gadget);
  return button != nullptr && button->isCheckable() && button->isChecked();
}

}  // namespace shell
