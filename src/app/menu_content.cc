#include "app/menu_content.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

#include "app/internet_access_section.h"
#include "app/ui_style.h"

namespace quorin {
namespace {

// The header's filled circle.
class Dot final : public QWidget {
 public:
  Dot(QColor color, QWidget* parent) : QWidget(parent), color_(color) { setFixedSize(10, 10); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(rect());
  }

 private:
  QColor color_;
};

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setForegroundRole(QPalette::Mid);
  return line;
}

}  // namespace

MenuContent::MenuContent(MenuViewModel::Environment model, HostIdentity& identity, QWidget* parent)
    : QWidget(parent),
      model_(std::make_unique<MenuViewModel>(std::move(model))),
      identity_(identity),
      screenRow_([this] { model_->grantScreenRecording(); }),
      accessibilityRow_([this] { model_->grantAccessibility(); }),
      monitorRow_([this](std::size_t index) { model_->chooseMonitor(index); }) {
  setFixedWidth(kWidth);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  layout->setSpacing(kSpacing);

  const MenuItems items = model_->items();
  bool firstPermission = true;
  for (const MenuItem& item : items) {
    switch (item.element) {
      case MenuElement::header: {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        row->addWidget(new Dot(ui::colorOf(item.symbolTint, palette()), this));
        title_.setText(QString::fromStdString(item.text));
        ui::setTextStyle(title_, item.style, item.textTint);
        row->addWidget(&title_, 1);
        layout->addLayout(row);
        break;
      }
      case MenuElement::divider:
        layout->addWidget(divider(this));
        break;
      case MenuElement::status:
        layout->addWidget(&status_);
        break;
      case MenuElement::connectedLabel:
        layout->addWidget(&connected_);
        break;
      case MenuElement::errorLabel:
        layout->addWidget(&error_);
        break;
      case MenuElement::desktopNote:
        layout->addWidget(&desktopNote_);
        break;
      case MenuElement::permissionRow:
        layout->addWidget(firstPermission ? &screenRow_ : &accessibilityRow_);
        firstPermission = false;
        break;
      case MenuElement::pairingButton:
        pairingButton_.setText(QString::fromStdString(item.text));
        pairingButton_.setIcon(ui::symbolIcon(item.symbol, 16, ui::colorOf(item.symbolTint, palette())));
        layout->addWidget(&pairingButton_, 0, Qt::AlignLeft);
        break;
      case MenuElement::internetAccess:
        layout->addWidget(new InternetAccessSection(this));
        break;
      case MenuElement::monitorRow:
        layout->addWidget(&monitorRow_);
        break;
      case MenuElement::askBeforeConnectingSwitch:
        askLabel_.setText(QString::fromStdString(item.text));
        askLabel_.setWordWrap(true);
        ui::setTextStyle(askLabel_, item.style, item.textTint);
        askRow_ = makeSwitchRow(ask_, askLabel_);
        layout->addWidget(askRow_);
        break;
      case MenuElement::autoStartSwitch:
        autoStartLabel_.setText(QString::fromStdString(item.text));
        ui::setTextStyle(autoStartLabel_, item.style, item.textTint);
        layout->addWidget(makeSwitchRow(autoStart_, autoStartLabel_));
        break;
      case MenuElement::openAtLoginSwitch:
        openAtLoginLabel_.setText(QString::fromStdString(item.text));
        ui::setTextStyle(openAtLoginLabel_, item.style, item.textTint);
        layout->addWidget(makeSwitchRow(openAtLogin_, openAtLoginLabel_));
        break;
      case MenuElement::buttonRow: {
        auto* row = new QHBoxLayout;
        row->addWidget(&startStop_);
        row->addStretch(1);
        quit_.setText(QString::fromStdString(item.text));
        row->addWidget(&quit_);
        layout->addLayout(row);
        const QColor tint = ui::colorOf(item.symbolTint, palette());
        startStop_.setStyleSheet(
            QStringLiteral("QPushButton { background: %1; color: white; border: 1px solid %2;"
                           " border-radius: 5px; padding: 3px 14px; }"
                           "QPushButton:pressed { background: %2; }")
                .arg(tint.name(), tint.darker(125).name()));
        break;
      }
      case MenuElement::note:
        note_.setText(QString::fromStdString(item.text));
        note_.setWordWrap(true);
        ui::setTextStyle(note_, item.style, item.textTint);
        layout->addWidget(&note_);
        break;
    }
  }

  connect(&startStop_, &QPushButton::clicked, this, [this] { model_->startOrStop(); });
  connect(&quit_, &QPushButton::clicked, this, [] { QApplication::quit(); });
  connect(&pairingButton_, &QPushButton::clicked, this, [this] { openPairing(); });
  connect(&ask_, &SwitchButton::clicked, this, [this](bool on) { model_->setAskBeforeConnecting(on); });
  connect(&autoStart_, &SwitchButton::clicked, this, [this](bool on) { model_->setAutoStart(on); });
  connect(&openAtLogin_, &SwitchButton::clicked, this, [this](bool on) { model_->setOpenAtLogin(on); });

  model_->setChangeHandler([this] { apply(model_->state()); });
  apply(model_->state());
}

MenuContent::~MenuContent() = default;

QWidget* MenuContent::makeSwitchRow(SwitchButton& button, QLabel& label) {
  auto* row = new QWidget(this);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&label, 1);
  layout->addWidget(&button);
  return row;
}

void MenuContent::apply(const MenuState& state) {
  const MenuItems items = menuItems(state);
  bool firstPermission = true;
  for (const MenuItem& item : items) {
    switch (item.element) {
      case MenuElement::status:
        status_.setContent(item.symbol, item.symbolTint, item.text, item.style, item.textTint);
        break;
      case MenuElement::connectedLabel:
        connected_.setContent(item.symbol, item.symbolTint, item.text, item.style, item.textTint);
        connected_.setVisible(item.shown);
        break;
      case MenuElement::errorLabel:
        error_.setContent(item.symbol, item.symbolTint, item.text, item.style, item.textTint);
        error_.setVisible(item.shown);
        break;
      case MenuElement::desktopNote:
        desktopNote_.setContent(item.symbol, item.symbolTint, item.text, item.style, item.textTint);
        desktopNote_.setVisible(item.shown);
        break;
      case MenuElement::permissionRow:
        (firstPermission ? screenRow_ : accessibilityRow_).apply(item);
        firstPermission = false;
        break;
      case MenuElement::monitorRow:
        monitorRow_.apply(item);
        break;
      case MenuElement::askBeforeConnectingSwitch: {
        const QSignalBlocker quiet(ask_);
        ask_.setChecked(item.on);
        askRow_->setVisible(item.shown);
        break;
      }
      case MenuElement::autoStartSwitch: {
        const QSignalBlocker quiet(autoStart_);
        autoStart_.setChecked(item.on);
        break;
      }
      case MenuElement::openAtLoginSwitch: {
        const QSignalBlocker quiet(openAtLogin_);
        openAtLogin_.setChecked(item.on);
        break;
      }
      case MenuElement::buttonRow:
        startStop_.setText(QString::fromStdString(item.button));
        break;
      default:
        break;  // static
    }
  }
  if (isWindow()) adjustSize();
}

void MenuContent::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  model_->refresh();
}

void MenuContent::openPairing() {
  if (pairing_) return;
  pairing_ = new PairingQRView(identity_, this);
  pairing_->setWindowFlags(Qt::Popup);
  pairing_->setAttribute(Qt::WA_DeleteOnClose);
  pairing_->adjustSize();

  // Beside the button's trailing edge; where the screen ends first, on the panel's other
  // side, so that it covers neither the panel nor its button.
  const QSize size = pairing_->size();
  const QPoint anchor = pairingButton_.mapToGlobal(QPoint(pairingButton_.width(), pairingButton_.height() / 2));
  const QScreen* screen = pairingButton_.screen();
  const QRect available = screen ? screen->availableGeometry() : QRect(anchor, size);
  constexpr int kGap = 8;
  int x = anchor.x() + kGap;
  if (x + size.width() > available.right() + 1) x = window()->frameGeometry().left() - kGap - size.width();
  x = std::clamp(x, available.left(), std::max(available.left(), available.right() + 1 - size.width()));
  const int y = std::clamp(anchor.y() - size.height() / 2, available.top(),
                           std::max(available.top(), available.bottom() + 1 - size.height()));
  pairing_->move(x, y);
  pairing_->show();
}

void MenuContent::paintEvent(QPaintEvent*) { ui::paintPopupOutline(*this); }

}  // namespace quorin
