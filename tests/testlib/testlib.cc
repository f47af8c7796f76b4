#include "tests/testlib/testlib.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

Sandbox::Sandbox() {
  std::string base = fs::temp_directory_path().string() + "/larkspur-test-XXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name.data();
  for (const char* dir : {"/usr/local/tessera", "/var/qmail/bin", "/var/qmail/control",
                          "/var/qmail/users", "/www/html"}) {
    fs::create_directories(root_ + dir);
  }
  for (const char* tool : {"qmail-newu", "qmail-newmrh", "qmail-queue"}) {
    std::string built = build_output(tool);
    if (fs::exists(built)) {
      fs::copy_file(built, root_ + "/var/qmail/bin/" + tool,
                    fs::copy_options::overwrite_existing);
    }
  }
  // The store's delivery program, which every domain's .qmail-default
  // names, as its sandbox twin.
  if (std::string built = build_output("tdelivermail-sandbox"); fs::exists(built)) {
    fs::create_directories(root_ + "/usr/local/tessera/bin");
    fs::copy_file(built, root_ + "/usr/local/tessera/bin/tdelivermail",
                  fs::copy_options::overwrite_existing);
  }
  // The vacation reply program, which a mailbox's .qmail names, likewise.
  if (std::string built = build_output("tessera-autorespond-sandbox"); fs::exists(built)) {
    fs::create_directories(root_ + "/usr/local/tessera/bin");
    fs::copy_file(built, root_ + "/usr/local/tessera/bin/tessera-autorespond",
                  fs::copy_options::overwrite_existing);
  }
}

Sandbox::~Sandbox() {
  if (std::getenv("LARKSPUR_KEEP_SANDBOX") != nullptr) return;
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string build_output(const std::string& name) {
  const char* dir = std::getenv("LARKSPUR_BUILD_DIR");
  return std::string(dir != nullptr ? dir : LARKSPUR_DEFAULT_BUILD_DIR) + "/" + name;
}

void write_file(const std::string& path, const std::string& content) {
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string long_line(const std::string& head, size_t size) {
  std::string line = head;
  for (size_t i = 0; line.size() < size; ++i) {
    char c = static_cast<char>(i * 7 % 256);
    line += c == '\n' ? 'n' : c;
  }
  return line;
}

void make_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::copy(path.begin(), path.end(), addr.sun_path);
  int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  close(fd);
  if (bound != 0) throw std::runtime_error("bind failed: " + path);
}

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
  out.push_back(nullptr);
  return out;
}

// Feeds the child's standard input and drains its two outputs together, so
// neither side can block the other on a full pipe.
void pump(int in_fd, const std::string& input, int out_fd, int err_fd, RunResult& result) {
  size_t written = 0;
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_fd : err_fd) = -1;
      }
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
}

// A sanitizer build's children must report the way the test run asks, so
// the sanitizers' own settings pass through whatever environment a test
// chose for the program.
std::vector<std::string> with_sanitizer_options(std::vector<std::string> env) {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value != nullptr) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

}  // namespace

RunResult run_program(const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> argv = c_strings(options.argv);
  std::vector<std::string> env = with_sanitizer_options(options.env);
  std::vector<char*> envp = c_strings(env);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.workdir.empty() && chdir(options.workdir.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  pump(in_pipe[1], options.input, out_pipe[0], err_pipe[0], result);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string tinycdb() {
  for (const char* path : {"/usr/bin/cdb", "/usr/local/bin/cdb", "/bin/cdb"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

RunResult run_tinycdb(const std::vector<std::string>& args, const std::string& input) {
  RunOptions options;
  options.argv.push_back(tinycdb());
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.input = input;
  return run_program(options);
}

std::string tinycdb_records(const CdbPairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    out += "+" + std::to_string(key.size()) + "," + std::to_string(value.size());
    out += ":" + key + "->" + value + "\n";
  }
  return out + "\n";
}

RunResult run_at_once(const std::vector<std::string>& jobs) {
  std::string script;
  for (const std::string& job : jobs) script += "(" + job + ") &\n";
  script += "wait\n";
  RunOptions options;
  options.argv = {"/bin/sh", "-c", script};
  options.env = {"PATH=/usr/bin:/bin"};
  return run_program(options);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1) {
    fields.push_back(line.substr(start, colon - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::string cgi_response(const std::string& body) {
  static const std::string kContentType = "Content-type: text/html\n\n";
  if (body.rfind("Status: ", 0) != 0) return kContentType + body;
  size_t end = body.find('\n') + 1;
  return body.substr(0, end) + kContentType + body.substr(end);
}
