#pragma once
// The configuration file beside the program: the program path with its last
// three characters replaced by "cfg" (lumasrv.bin keeps lumasrv.cfg), holding
// a 32-bit version and the 352-byte settings record.

#include <string>

// The configuration file's path, taken anew from the program path every time.
// Empty when the program path is too short to name one.
std::string ConfigFilePath();

// Fills g_settings from the configuration file, called once at start-up after
// the defaults are in place. A missing or unreadable file leaves the defaults
// silently; a short file sets only the leading fields it holds. A file from a
// newer release warns that it was loaded partially and applies the record
// this release knows. Values outside their ranges get their defaults.
void LoadConfig();

// Writes g_settings to the configuration file. The file is replaced whole
// (written beside it and renamed over it), so a failed save leaves the
// previous file as it was. On failure shows "Cannot save config file" and
// returns false; on success clears configChanged and returns true.
bool SaveConfig();

// The "Save configuration" command: saves and confirms with "Configuration is
// saved". A failed save has shown its own message and leaves configChanged
// set.
void SaveConfigCommand();

// The save prompt at exit: only when configChanged is set, asks "Do you want
// to save current configuration?"; Yes saves. Returns whether it asked.
bool AskToSaveConfig();

// Caption of the settings' message boxes.
constexpr const char kSettingsMessageCaption[] = "Lumacast";
