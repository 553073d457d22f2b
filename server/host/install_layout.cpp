#include "install_layout.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stratdesk::host {

// Defined in the version file the build regenerates whenever the commit changes.
extern const char* const build_version;

namespace {

namespace fs = std::filesystem;

// Written by CMake beside the build-tree binary and never installed: the source root.
constexpr const char* source_marker = "stratdesk-source-tree";

fs::path executable_path() {
  std::error_code ec;
  fs::path path = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    throw std::runtime_error("cannot find the running program through /proc/self/exe: " +
                             ec.message());
  }
  return path;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::optional<fs::path> home_dir() {
  if (std::string home = environment("HOME"); !home.empty()) {
    return home;
  }
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return std::nullopt;
}

// An XDG base folder: the variable when it holds an absolute path (relative ones are to be
// ignored), else its default under the home folder; empty without either.
fs::path xdg_dir(const char* variable, const fs::path& below_home) {
  fs::path value = environment(variable);
  if (value.is_absolute()) {
    return value;
  }
  const auto home = home_dir();
  return home ? *home / below_home : fs::path();
}

// `below` in the XDG base folder, or empty when there is no such folder.
fs::path in_xdg_dir(const char* variable, const fs::path& home_default, const fs::path& below) {
  const fs::path base = xdg_dir(variable, home_default);
  return base.empty() ? base : base / below;
}

bool holds_share_files(const fs::path& directory) {
  std::error_code ec;
  return fs::is_regular_file(directory / "engine" / "kestrun-plus-script.py", ec);
}

std::optional<fs::path> source_tree_of(const fs::path& binary_dir) {
  std::ifstream marker(binary_dir / source_marker);
  std::string root;
  if (!marker || !std::getline(marker, root) || root.empty()) {
    return std::nullopt;
  }
  return fs::path(root);
}

InstallLayout build_tree_layout(const fs::path& source_root) {
  InstallLayout layout;
  layout.share_dir = source_root;
  layout.data_dir = "stratdesk-data";
  return layout;
}

InstallLayout installed_layout(const fs::path& share_dir) {
  InstallLayout layout;
  layout.installed = true;
  layout.share_dir = share_dir;
  layout.data_dir = in_xdg_dir("XDG_DATA_HOME", ".local/share", "stratdesk");
  layout.log_path = in_xdg_dir("XDG_STATE_HOME", ".local/state", "stratdesk/stratdesk.log");
  const fs::path config = in_xdg_dir("XDG_CONFIG_HOME", ".config", "stratdesk/server.toml");
  std::error_code ec;
  if (!config.empty() && fs::exists(config, ec)) {
    layout.config_file = config;
  }
  return layout;
}

void create_private_folder(const fs::path& path) {
  std::error_code ec;
  if (path.empty() || fs::exists(path, ec) || path == path.parent_path()) {
    return;
  }
  create_private_folder(path.parent_path());
  ::mkdir(path.c_str(), 0700);
}

InstallLayout detect_layout() {
  const fs::path binary_dir = executable_path().parent_path();
  const fs::path share_dir = (binary_dir.parent_path() / "share" / "stratdesk").lexically_normal();
  if (holds_share_files(share_dir)) {
    return installed_layout(share_dir);
  }
  if (auto source_root = source_tree_of(binary_dir)) {
    return build_tree_layout(*source_root);
  }
  // Installed but incomplete: the defaults still point into the prefix, so the missing engine
  // or bundle is named when it is needed.
  return installed_layout(share_dir);
}

}  // namespace

const InstallLayout& install_layout() {
  static const InstallLayout layout = detect_layout();
  return layout;
}

void create_private_folders(const std::vector<fs::path>& folders) {
  if (!install_layout().installed) {
    return;
  }
  for (const fs::path& folder : folders) {
    create_private_folder(folder);
  }
}

std::string version_line() {
  return std::string("stratdesk-server ") + build_version;
}

}  // namespace stratdesk::host
