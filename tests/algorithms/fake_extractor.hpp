#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "test_support.hpp"

// A stand-in for the extraction interpreter (the server's --python): a Python script that acts
// as its plan file says, so that one server meets many behaviours in turn, and that leaves what
// it saw in files beside itself.
namespace stratdesk::test {

// A frame of the extraction protocol: a little-endian 32-bit length, then the bytes.
inline std::string frame(std::string_view body) {
  std::string out;
  const auto length = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((length >> shift) & 0xffu));
  }
  return out.append(body);
}

// True once `predicate()` holds; false when `timeout` passes first.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The state letter of /proc/<pid>/stat ('S', 'Z', ...); nullopt once the process is reaped.
inline std::optional<char> process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line) || line.rfind(") ") == std::string::npos) {
    return std::nullopt;
  }
  return line[line.rfind(") ") + 2];
}

inline std::size_t open_descriptors(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// The interpreter binary itself: a version manager's shim in front of it may take a second to
// start on a busy machine, which would blur the time limits under test.
inline const std::string& python_binary() {
  static const std::string path = [] {
    const ProcessResult found = run_process({"python3", "-c", "import sys; print(sys.executable)"});
    return found.out.empty() ? std::string("/usr/bin/python3")
                             : found.out.substr(0, found.out.find('\n'));
  }();
  return path;
}

class FakeExtractor {
 public:
  explicit FakeExtractor(std::string dir) : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
    write_file(program(), "#!" + python_binary() + "\n" + script);
    make_executable(true);
    answer("[]");
  }

  [[nodiscard]] std::string program() const { return dir_ + "/fake-python"; }
  [[nodiscard]] std::string file(const std::string& name) const { return dir_ + "/" + name; }

  // `mode`: "answer" (connect, read the request, send `reply` as raw bytes), "close" (connect,
  // read the request, close), "exit" (exit 3 at once) or "silent" (never connect, exit on
  // release). Flags: "hold" waits for release before answering, "linger" after closing.
  void plan(const std::string& mode, std::string_view reply = {}, const std::string& flags = "") {
    for (const char* name : {"request.bin", "pid", "descriptors", "connected", "release"}) {
      std::filesystem::remove(file(name));
    }
    write_file(file("reply.bin"), std::string(reply));
    write_file(file("plan"), mode + " " + flags);
  }
  void answer(std::string_view body) { plan("answer", frame(body)); }
  void release() { write_file(file("release"), ""); }
  void make_executable(bool executable) { ::chmod(program().c_str(), executable ? 0755 : 0644); }

  [[nodiscard]] bool seen(const std::string& name) const {
    return std::filesystem::exists(file(name));
  }
  // The request frame of the last run, as it arrived.
  [[nodiscard]] std::string request() const { return read_file(file("request.bin")); }
  [[nodiscard]] pid_t pid() const { return static_cast<pid_t>(std::stol(read_file(file("pid")))); }

 private:
  static constexpr const char* script = R"(import os, socket, struct, sys, time
descriptors = sorted(int(fd) for fd in os.listdir("/proc/self/fd"))
here = os.path.dirname(os.path.abspath(__file__))
path = lambda name: os.path.join(here, name)

def put(name, data):
    with open(path(name + ".tmp"), "wb") as f:
        f.write(data)
    os.replace(path(name + ".tmp"), path(name))

def wait_for_release():
    end = time.monotonic() + 30
    while not os.path.exists(path("release")) and time.monotonic() < end:
        time.sleep(0.01)

def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data

mode, *flags = open(path("plan")).read().split()
put("pid", str(os.getpid()).encode())
put("descriptors", str(descriptors).encode())
if mode == "exit":
    sys.exit(3)
if mode == "silent":
    wait_for_release()
    sys.exit(0)
sock = socket.create_connection(("127.0.0.1", int(sys.argv[3])))
header = recv_exact(sock, 4)
put("request.bin", header + recv_exact(sock, struct.unpack("<i", header)[0]))
if "hold" in flags:
    put("connected", b"")
    wait_for_release()
if mode == "answer":
    sock.sendall(open(path("reply.bin"), "rb").read())
sock.close()
if "linger" in flags:
    wait_for_release()
)";

  std::string dir_;
};

// The server with the fake as its interpreter, on an existing (empty) database file, so that no
// example strategies are seeded.
inline std::unique_ptr<ServerProcess> start_with_fake(const TempDir& dir, const FakeExtractor& fake,
                                                      std::vector<std::string> extra = {}) {
  std::filesystem::create_directories(dir.file("data"));
  write_file(dir.file("data/stratdesk.db"), "");
  extra.insert(extra.begin(), {"--python", fake.program()});
  return std::make_unique<ServerProcess>(dir.file("data"), extra);
}

}  // namespace stratdesk::test
