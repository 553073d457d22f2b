#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace stratdesk::host {

// Where the program's read-only files and its default data live, decided once from the
// location of the running binary.
//
// An installed binary (PREFIX/bin) reads PREFIX/share/stratdesk, wherever the prefix was moved
// to, and keeps its data in the desktop's per-user folders. A binary in its build tree reads
// the source tree named by the marker file CMake writes beside it, and keeps its data in
// ./stratdesk-data of the working directory. Nothing else is consulted.
struct InstallLayout {
  bool installed = false;
  // Holds engine/, analytics/ and sample-data/bundle/ (the source root in a build tree).
  std::filesystem::path share_dir;
  // The default of --data-dir (relative to the working directory in a build tree); empty when
  // an installed binary finds no home folder.
  std::filesystem::path data_dir;
  // The default of --log when --data-dir is not given; empty: DATA/logs/stratdesk.log.
  std::filesystem::path log_path;
  // The config file read when --config is not given, if it exists; empty: none.
  std::filesystem::path config_file;
};

// The layout of this process. Throws std::runtime_error when /proc/self/exe cannot be read.
const InstallLayout& install_layout();

// For an installed binary, creates each folder and its missing parents with mode 0700, as the
// desktop's conventions ask of per-user data; existing folders keep their mode, and a build-tree
// binary creates nothing here. Best effort: what cannot be created is left for the caller's own
// creation to report.
void create_private_folders(const std::vector<std::filesystem::path>& folders);

// "stratdesk-server <version>", with the commit when built from a checkout.
std::string version_line();

}  // namespace stratdesk::host
