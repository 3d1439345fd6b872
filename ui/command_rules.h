// The rules the window's commands follow before anything starts: when a
// control acts, where a dropped file goes, which hive the Reg save dialog
// chose, which folder an open-folder button shows.  Read the context only.
#pragma once

#include <string>

#include "app/context.h"

namespace quelbrix::ui {

// Whether the control `id` acts now (the busy and done-flag preconditions of
// the buttons, and of the two recent-file boxes, which test Busy as the
// buttons do so that no second worker can start).
bool CommandAllowed(int id, const HiveContext& ctx);

enum class DropAction { kNone, kRead, kHiveLoad };
// A dropped file that passed CheckHiveFile (fileOk) starts Hive load when it
// lands on the load-file box and no hive is loaded, Read anywhere else;
// nothing starts while a command runs.
DropAction DropTarget(const HiveContext& ctx, bool fileOk, bool onLoadFileBox);

// The Reg save dialog's choice: the first checked of SECURITY, SAM and
// SOFTWARE, else SYSTEM.  Returns the radio button's id.
int ChosenHiveButton(bool systemChecked, bool softwareChecked, bool samChecked, bool securityChecked);

// The folder an open-folder button (1036, 1037, 1038) shows; "" when it has
// none to show.
std::string FolderToOpen(int id, const HiveContext& ctx);

// The Version box.
constexpr const char* kVersionCaption = "Version情報";
constexpr const char* kVersionText = "クエルブリクス\nVer 2,1,2012,1002\nRelease";

}  // namespace quelbrix::ui
