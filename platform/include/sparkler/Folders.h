#pragma once

#include <filesystem>
#include <string>

namespace sparkler::Folders {

/// $HOME, else the password database's home folder, else "/".
std::filesystem::path home();

/// $TMPDIR when set and non-empty, else "/tmp". No trailing separator.
std::filesystem::path temporary();

/// The per-user data folder: $XDG_DATA_HOME when absolute, else <home>/.local/share.
/// It plays the part of "Application Support".
std::filesystem::path userData();

/// A new random (version 4) UUID in its 36-character upper-case text form.
std::string newUUIDString();

}  // namespace sparkler::Folders
