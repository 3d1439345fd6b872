#include "ui/command_rules.h"

#include "platform/files.h"

namespace quelbrix::ui {

bool CommandAllowed(int id, const HiveContext& ctx) {
  bool idle = ctx.Busy.load() == 0;
  bool read = ctx.Done(kReadDone);
  bool loaded = ctx.Done(kHiveLoaded);
  switch (id) {
    case kCmdRead:
    case kCmdRegSave:
    case kCtlReadFileCombo: return idle;
    case kCmdSearchDates:
    case kCmdSearchNoDates:
    case kCmdRepair:
    case kCmdDefrag:
    case kCmdWrite: return idle && read;
    case kCmdHiveLoad:
    case kCtlLoadFileCombo: return idle && !loaded;
    case kCmdDeleteSubkeys:
    case kCmdHiveUnload: return idle && loaded;
    case kCmdRebuild: return idle && read && loaded;
    case kCmdOpenInputFolder: return !ctx.CurrentFile.empty();
    case kCmdOpenLoadFolder: return !ctx.LoadedHivePath.empty();
    case kCmdOpenOutputFolder:
    case kCmdOpenEditor:
    case kCmdAbort:
    case kCmdExit:
    case kCmdVersion: return true;
    default: return false;
  }
}

DropAction DropTarget(const HiveContext& ctx, bool fileOk, bool onLoadFileBox) {
  if (ctx.Busy.load() != 0 || !fileOk) return DropAction::kNone;
  if (onLoadFileBox) return ctx.Done(kHiveLoaded) ? DropAction::kNone : DropAction::kHiveLoad;
  return DropAction::kRead;
}

int ChosenHiveButton(bool systemChecked, bool softwareChecked, bool samChecked, bool securityChecked) {
  (void)systemChecked;  // SYSTEM is what is left when none of the others is checked
  if (securityChecked) return 1059;
  if (samChecked) return 1058;
  if (softwareChecked) return 1057;
  return 1056;
}

std::string FolderToOpen(int id, const HiveContext& ctx) {
  switch (id) {
    case kCmdOpenInputFolder: return ctx.CurrentFile.empty() ? std::string() : platform::FolderOf(ctx.CurrentFile);
    case kCmdOpenOutputFolder: return ctx.OutputFolder;
    case kCmdOpenLoadFolder:
      return ctx.LoadedHivePath.empty() ? std::string() : platform::FolderOf(ctx.LoadedHivePath);
    default: return std::string();
  }
}

}  // namespace quelbrix::ui
