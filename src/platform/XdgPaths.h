#pragma once
// The per-user folders of the freedesktop base-directory rules. These and HOME
// are the only environment the program reads.
#include <string>

namespace km7 {

// The user's home folder: $HOME, else the password database; "" when neither.
std::string HomeDir();
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string ConfigHome();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::string DataHome();
// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
std::string StateHome();

// Creates the folder and any missing parents; new folders get `mode`.
// True when the folder exists afterwards.
bool MakeFolders(const std::string& path, unsigned mode);

}  // namespace km7
