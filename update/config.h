// Where updates come from and go to: the channel's address and extra certificate bundle from
// the settings files, the publishers' keys, and the root a run installs into.
//
// Every function may be called from any thread (the environment is only read) and none raises
// an exception except std::bad_alloc.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nerlo::update {

// The value of key in [section] of an INI text: names compared without regard to ASCII case,
// blanks around the value removed, CR LF or LF line ends, the first matching section and key
// win, lines beginning with ";" or "#" ignored. *found tells whether the key stands there.
std::string IniValue(std::string_view text, std::string_view section, std::string_view key,
                     bool* found);

// The source of updates.
struct UpdateSource {
  std::string url;      // Url= under [Update]
  std::string ca_file;  // CaFile= beside it, made absolute against the settings file's folder
  std::string file;     // the settings file both came from
};

enum class SourceStatus {
  kFound,
  kMissing,  // no file names a Url
  kInvalid,  // the first Url found is not an https:// address, or a file could not be read
};

// The settings files asked, in order: the user's $XDG_CONFIG_HOME/nerlo/nerlo.ini (default
// ~/.config/nerlo/nerlo.ini), then /etc/nerlo/update.ini.
std::vector<std::string> DefaultSourceFiles();

// The first file of files that names a Url under [Update] gives the source (its CaFile with
// it); missing files are passed over. *error says what is wrong for kInvalid, and for
// kMissing which files were asked and how to set a source.
SourceStatus FindUpdateSource(const std::vector<std::string>& files, UpdateSource* source,
                              std::string* error);

// Folders whose *.pub files hold the publishers' public keys: the program directory's keys/
// and /etc/nerlo/keys/.
std::vector<std::string> DefaultKeyFolders(const std::string& program_directory);

// The public keys (raw bytes) of every readable, well-formed *.pub file in folders. A file
// that is not a key adds a line to *warnings naming it; missing folders are passed over.
std::vector<std::string> LoadPublicKeys(const std::vector<std::string>& folders,
                                        std::vector<std::string>* warnings);

// The root a run installs into when none is given: the first folder of $NERLO_SET_ROOTS when
// that variable is set (it replaces the roots that scans read); else /var/lib/nerlo for a
// privileged process, else the user's data folder's nerlo/ ($XDG_DATA_HOME/nerlo, default
// ~/.local/share/nerlo). Empty when the user's home folder is unknown (or NERLO_SET_ROOTS
// names no folder).
std::string DefaultInstallRoot();

}  // namespace nerlo::update
