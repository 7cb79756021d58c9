// The settings dialog a host shows for ConfigurePacker: the view options,
// the code page and the packing keys, written to the settings file when the
// user confirms.
#pragma once

#include <cstdint>
#include <string>

#include "interface/exports.h"

namespace mirad {

// The host's dialog services, as ExtensionInitialize hands them over; both
// null when the host has none.
void SetHostDialogApi(HostDialogBoxLfm dialogBox, HostDialogProc sendMessage);

// The form the host builds the dialog from (its own form description
// language); every item the dialog procedure speaks to is in it.
std::string SettingsForm();

// Shows the dialog over `parent`: the system's own where it has one
// (Windows), else through the host's services; false when there is neither
// or no settings file is located to write to.
bool ShowSettingsDialog(void* parent);

}  // namespace mirad
