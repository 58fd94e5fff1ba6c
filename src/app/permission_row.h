#pragma once
// One permission in the panel: a green check mark or a grey circle, the permission's name,
// and while it is missing a link-style "Grant" at the trailing edge that runs the action.
// Thread: the GUI thread.

#include <QPushButton>
#include <QWidget>

#include <functional>

#include "app/menu_view_model.h"
#include "app/symbol_label.h"

namespace quorin {

class PermissionRow final : public QWidget {
 public:
  PermissionRow(std::function<void()> action, QWidget* parent = nullptr);

  // Shows a permissionRow item.
  void apply(const MenuItem& item);

  QPushButton& grantButton() { return grant_; }

 private:
  SymbolLabel label_{SymbolLabel::Lines::one};
  QPushButton grant_;
};

}  // namespace quorin
