#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace stratdesk::host {

// Another server holds the folder: the one line a refused start prints.
class FolderInUse : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An exclusive hold on the folder of the database, for the life of the process: one server per
// data folder. The kernel lets go when the process ends however it ends, so a killed server
// never blocks the next start; the lock file stays and names the last holder's pid.
class DataFolderLock {
 public:
  // Throws FolderInUse when another process holds the folder, std::runtime_error when the
  // lock file cannot be opened.
  explicit DataFolderLock(const std::filesystem::path& folder);
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

  static constexpr const char* file_name = "stratdesk-server.lock";

 private:
  int fd_ = -1;
};

}  // namespace stratdesk::host
