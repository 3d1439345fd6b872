#include "ui/button_states.h"

namespace quelbrix::ui {

void ButtonStates::Set(int id, bool enabled) {
  for (ButtonState& s : changes_) {
    if (s.Id == id) {
      s.Enabled = enabled;
      return;
    }
  }
  changes_.push_back({id, enabled});
}

std::optional<bool> ButtonStates::Of(int id) const {
  for (const ButtonState& s : changes_)
    if (s.Id == id) return s.Enabled;
  return std::nullopt;
}

ButtonStates ComputeButtonStates(const HiveContext& ctx) {
  ButtonStates st;
  if (ctx.Busy.load() != 0) {
    for (int id : {kCtlReadFileCombo, kCtlLoadFileCombo, kCmdRead, kCmdSearchDates, kCmdSearchNoDates, kCmdRepair,
                   kCmdDefrag, kCmdWrite, kCmdHiveLoad, kCmdDeleteSubkeys, kCmdRebuild, kCmdHiveUnload, kCmdRegSave})
      st.Set(id, false);
    switch (ctx.CommandId) {
      case kCmdSearchDates:
      case kCmdSearchNoDates:
      case kCmdRepair:
      case kCmdDefrag:
      case kCmdDeleteSubkeys:
      case kCmdRebuild: st.Set(kCmdAbort, true); break;
      default: break;
    }
    return st;
  }

  st.Set(kCtlReadFileCombo, true);
  bool read = ctx.Done(kReadDone);
  for (int id : {kCmdSearchDates, kCmdSearchNoDates, kCmdRepair, kCmdWrite}) st.Set(id, read);
  // Defrag needs a hive of format version 1.3 or later.
  bool defragFormat = ctx.HiveMajorVersion > 1 || (ctx.HiveMajorVersion == 1 && ctx.HiveMinorVersion >= 3);
  st.Set(kCmdDefrag, read && defragFormat);

  bool loaded = ctx.Done(kHiveLoaded);
  if (ctx.OsMajorVersion >= 5) {
    st.Set(kCtlLoadFileCombo, !loaded);
    st.Set(kCmdHiveLoad, !loaded);
    st.Set(kCmdDeleteSubkeys, loaded);
    st.Set(kCmdHiveUnload, loaded);
    st.Set(kCmdRebuild, read && loaded);
    st.Set(kCmdRegSave, true);
    st.Set(kCmdOpenEditor, true);
  } else {
    st.Set(kCmdOpenEditor, false);
  }

  st.Set(kCmdRead, true);
  st.Set(kCmdAbort, false);
  st.Set(kCmdOpenInputFolder, !ctx.CurrentFile.empty());
  st.Set(kCmdOpenLoadFolder, !ctx.LoadedHivePath.empty());
  return st;
}

}  // namespace quelbrix::ui
