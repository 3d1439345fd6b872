// UpdateButtonStates as a rule: which controls a HiveContext enables and
// which it disables.  Controls the rule leaves alone are absent from the
// result, so they keep their state.  Reads the context only.
#pragma once

#include <optional>
#include <vector>

#include "app/context.h"

namespace quelbrix::ui {

struct ButtonState {
  int Id;
  bool Enabled;
};

class ButtonStates {
 public:
  void Set(int id, bool enabled);
  // The state the rule gives `id`, or nothing when it keeps its state.
  std::optional<bool> Of(int id) const;
  const std::vector<ButtonState>& Changes() const { return changes_; }

 private:
  std::vector<ButtonState> changes_;
};

ButtonStates ComputeButtonStates(const HiveContext& ctx);

}  // namespace quelbrix::ui
