#pragma once

// The per-user components, in the order they are removed. Each is also the
// name of the component's folder below "\Tovik\" in the roaming folder.
inline constexpr const char* kComponentNames[] = {
    "Tovik Hosted Apps Client",
    "Tovik Remote Desk Client",
    "Device Inspector",
    "Deploy Client",
};

inline constexpr const char kNothingFoundText[] =
    "No Tovik Components found to uninstall";
inline constexpr const char kMessageBoxCaption[] = "Tovik";
inline constexpr const char kComponentsNotLookedForText[] =
    "Per-user Tovik Components could not be looked for";
inline constexpr const char kRestartRequiredText[] =
    "Restart Windows to finish the uninstallation";

// The whole clean-up run, start to closing message box. Returns the exit
// code, 0.
int runCleanup();
