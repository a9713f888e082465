// Building the password dialogs from the rows of kDialogs below.
#include "app/shell/password_dialog.h"

#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRect>

#include "app/layout/layout.h"
#include "app/shell/gadgets.h"
#include "app/shell/images.h"

namespace shell {
namespace {

using layout::DialogLayout;
using layout::Placed;

template <typename W>
W* Place(QWidget* parent, const Placed& placed) {
  auto* widget = new W(parent);
  widget->setObjectName(GadgetName(placed.number));
  widget->setGeometry(placed.x, placed.y, placed.w, placed.h);
  return widget;
}

QLabel* PlaceLabel(QWidget* parent, const Placed& placed, const char* text) {
  auto* label = Place<QLabel>(parent, placed);
  label->setText(QString::fromUtf8(text));
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

}  // namespace

PasswordDialog::PasswordDialog(int number)
    // A dialog window: only those tell the window manager whose they are.
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      number_(number) {}

PasswordDialog::~PasswordDialog() {
  StopMeter();
}

PasswordDialog* PasswordDialog::Create(PasswordDialogKind kind) {
  const int number = static_cast<int>(kind);
  const DialogLayout* layout = layout::DialogLayoutOf(number);
  if (layout == nullptr) return nullptr;
  const bool withMeter = layout->hasMeter();
  const QImage background = withMeter ? MeterBackground() : QImage();
  if (withMeter && background.isNull()) return nullptr;

  auto* dialog = new PasswordDialog(number);
  dialog->setObjectName(QStringLiteral("window-%1").arg(number));
  dialog->setWindowTitle(QString::fromUtf8(kPasswordDialogTitle));
  dialog->setFont(DefaultFont());
  dialog->setFixedSize(layout->width, layout->height);

  // In the order the user meets them: label, field, OK, then the meter.
  PlaceLabel(dialog, layout->label, layout::kPasswordLabel);
  auto* field = Place<QLineEdit>(dialog, layout->field);
  // Shown in clear on purpose: the user sees what the meter measures.
  field->setEchoMode(QLineEdit::Normal);
  auto* ok = Place<QPushButton>(dialog, layout->ok);
  ok->setText(QString::fromUtf8(layout::kOkText));
  // The default button: Enter confirms wherever the focus is.
  ok->setDefault(true);
  const int okNumber = layout->ok.number;
  connect(ok, &QPushButton::clicked, dialog,
          [dialog, okNumber] { emit dialog->gadgetEvent(okNumber); });

  if (withMeter) {
    PlaceLabel(dialog, layout->unsafe, layout::kUnsafeText);
    PlaceLabel(dialog, layout->safe, layout::kSafeText);
    auto* picture = Place<QLabel>(dialog, layout->meter);
    dialog->meter_ = new StrengthMeter(picture, background, dialog);
    StrengthMeter* meter = dialog->meter_;
    connect(field, &QLineEdit::textChanged, meter, &StrengthMeter::SetText);
  }
  field->setFocus();
  return dialog;
}

int PasswordDialog::okGadget() const {
  return layout::DialogLayoutOf(number_)->ok.number;
}

int PasswordDialog::fieldGadget() const {
  return layout::DialogLayoutOf(number_)->field.number;
}

QString PasswordDialog::password() const {
  const auto* field = qobject_cast<const QLineEdit*>(FindGadget(this, fieldGadget()));
  return field != nullptr ? field->text() : QString();
}

void PasswordDialog::StartMeter() {
  if (meter_ == nullptr) return;
  meter_->SetActive(isActiveWindow());
  meter_->Start();
}

void PasswordDialog::StopMeter() {
  if (meter_ != nullptr) meter_->Stop();
}

void PasswordDialog::closeEvent(QCloseEvent* event) {
  // The main window closes the dialog, stops its meter and takes over again.
  event->ignore();
  emit closeRequested(number_);
}

void PasswordDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (auto* ok = qobject_cast<QPushButton*>(FindGadget(this, okGadget()))) ok->click();
      return;
    case Qt::Key_Escape:
      emit closeRequested(number_);
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void PasswordDialog::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && meter_ != nullptr) {
    meter_->SetActive(isActiveWindow());
  }
  QWidget::changeEvent(event);
}

}  // namespace shell
