#include "usage/usage_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "tests/testlib/testlib.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// A listening socket: local at `path`, or TCP on a free loopback port.
int listener(const std::string& path, int* port = nullptr, int backlog = 4) {
  sockaddr_un local{AF_UNIX, {}};
  sockaddr_in inet{};
  inet.sin_family = AF_INET;
  inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  snprintf(local.sun_path, sizeof local.sun_path, "%s", path.c_str());
  sockaddr* address =
      port ? reinterpret_cast<sockaddr*>(&inet) : reinterpret_cast<sockaddr*>(&local);
  socklen_t size = port ? sizeof inet : sizeof local;
  int fd = socket(address->sa_family, SOCK_STREAM, 0);
  EXPECT_EQ(bind(fd, address, size), 0);
  EXPECT_EQ(listen(fd, backlog), 0);
  if (port && getsockname(fd, address, &size) == 0) *port = ntohs(inet.sin_port);
  return fd;
}

// Takes one connection and keeps what the client sent; then writes the
// reply and hangs up, or, with no reply, stays silent until the client
// leaves.
class FakeDaemon {
 public:
  FakeDaemon(int listener, std::optional<std::string> reply)
      : listener_(listener), thread_([this, reply] { serve(reply); }) {}
  ~FakeDaemon() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string received() {
    thread_.join();
    return received_;
  }

 private:
  static bool ready(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
  }
  void serve(const std::optional<std::string>& reply) {
    if (!ready(listener_)) return;
    int fd = accept(listener_, nullptr, nullptr);
    char buffer[4096];
    ssize_t got;
    while (received_.size() < wanted() && ready(fd) && (got = read(fd, buffer, sizeof buffer)) > 0)
      received_.append(buffer, static_cast<size_t>(got));
    if (!reply) ready(fd);  // the client's close
    if (reply && write(fd, reply->data(), reply->size()) != ssize_t(reply->size())) ADD_FAILURE();
    close(fd);
  }
  // The length field, then as many bytes as it announces.
  size_t wanted() const {
    if (received_.size() < 2) return 2;
    return 2 + static_cast<unsigned char>(received_[0]) * 256u +
           static_cast<unsigned char>(received_[1]);
  }
  int listener_;
  std::string received_;
  std::thread thread_;
};

// Runs in a fresh directory holding tmeterc.conf (no file when `conf` is
// empty), with the previous directory restored afterwards.
class InDirectory {
 public:
  InDirectory(const Sandbox& box, const std::string& conf)
      : previous_(std::filesystem::current_path()) {
    if (!conf.empty()) write_file(box.root() + "/tmeterc.conf", conf);
    EXPECT_EQ(chdir(box.root().c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(chdir(previous_.c_str()), 0); }

 private:
  std::string previous_;
};

struct Asked {
  int result;
  uint64_t size = 0, count = 0;
  std::string err, out;
};

Asked ask(const std::string& text) {
  Asked asked;
  CaptureStdout();
  CaptureStderr();
  asked.result = query_usage(text.c_str(), &asked.size, &asked.count);
  asked.err = GetCapturedStderr();
  asked.out = GetCapturedStdout();
  return asked;
}

const std::string answer_1024_7 = std::string("\0\0\0\0\0\0\4\0\0\0\0\0\0\0\0\7", 16);

TEST(UsageClient, SpeaksTheWireFormatOverLocalAndTcpSockets) {
  struct Case {
    std::optional<std::string> reply;
    std::string err;
  } cases[] = {
      {answer_1024_7, ""},
      {std::string(8, '\1'), "client_query: smaller than expected response\n"},
      {"", "client_query: lost connection to server\n"},
      {std::nullopt, "client_query: timeout on response\n"},
  };
  const std::string text = std::string(288, 'u') + "@example.com";  // 300 bytes: 01 2C
  for (bool tcp : {false, true}) {
    for (const Case& c : cases) {
      Sandbox box;
      int port = 0;
      int fd = listener(box.root() + "/sock", tcp ? &port : nullptr);
      InDirectory here(box, "Server: Timeout = 1;\n" +
                                (tcp ? "\tRemote = 127.0.0.1:" + std::to_string(port) + ";\n"
                                     : "\tFilename = " + box.root() + "/sock;\n"));
      FakeDaemon daemon(fd, c.reply);
      Asked asked = ask(text);
      EXPECT_EQ(daemon.received(), "\1\x2c" + text);
      EXPECT_EQ(asked.err, c.err) << tcp;
      EXPECT_EQ(asked.result, c.err.empty() ? 1 : 0);
      EXPECT_EQ(asked.size, c.err.empty() ? 1024 : UINT64_MAX);
      EXPECT_EQ(asked.count, c.err.empty() ? 7 : UINT64_MAX);
    }
  }
}

TEST(UsageClient, ReportsSettingsAndConnectionFailures) {
  Sandbox box;
  int closed_port = 0;
  close(listener("", &closed_port));
  const std::string refused = "127.0.0.1:" + std::to_string(closed_port);
  const std::string nowhere = "Filename = " + box.root() + "/none;";
  struct Case {
    std::string conf, err;
  } cases[] = {
      {"", ""},
      {"Server: Disable = TRUE; " + nowhere + "\n", ""},
      {"Server: Disable = tRuE; " + nowhere + "\n", ""},
      {"Server: Disable = yes; " + nowhere + "\n", "client_connect: connect failed: 2\n"},
      {"Server: Timeout = 0; " + nowhere + "\n",
       "client_connect: configuration error: Server::Timeout: 0\nclient_connect: connect failed: "
       "2\n"},
      {"Server: Timeout = -3; " + nowhere + "\n",
       "client_connect: configuration error: Server::Timeout: -3\nclient_connect: connect failed: "
       "2\n"},
      {"Server: Remote = 127.0.0.1:0;\n",
       "client_connect: configuration error: Server::Remote: 127.0.0.1:0\n"},
      {"Server: Remote = 127.0.0.1;\n",
       "client_connect: configuration error: Server::Remote: 127.0.0.1\n"},
      {"Server: Timeout = 1;\n", "client_connect: configuration error: Server::Filename\n"},
      {"Server: Filename = ;\n", "client_connect: configuration error: Server::Filename\n"},
      // Cut to fit, it would be some other socket.
      {"Server: Filename = /" + std::string(106, 's') + ";\n",
       "client_connect: configuration error: Server::Filename\n"},
      // Remote wins over Filename; the refusal neither hangs nor raises SIGPIPE.
      {"Server: " + nowhere + " Remote = " + refused + ";\n",
       "client_connect: connect failed: 111\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(box.root() + "/tmeterc.conf");
    InDirectory here(box, c.conf);
    Asked asked = ask("joe@example.com");
    EXPECT_EQ(asked.result, 0) << c.conf;
    EXPECT_EQ(asked.err, c.err) << c.conf;
    EXPECT_EQ(asked.out, "") << c.conf;
  }
  EXPECT_EQ(query_usage(nullptr, nullptr, nullptr), 0);
  uint64_t size = 0, count = 0;
  EXPECT_EQ(client_query(nullptr, "x", 1, &size, &count), 0);
  EXPECT_EQ(size, UINT64_MAX);
  EXPECT_EQ(count, UINT64_MAX);

  // A daemon gone before the query: the write fails, the process lives on.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  client_handle* gone = new client_handle{pair[0], 1};
  CaptureStderr();
  EXPECT_EQ(client_query(gone, "x", 1, &size, &count), 0);
  EXPECT_EQ(GetCapturedStderr(), "client_query: write failed: -1 (32)\n");
  client_close(gone);
}

TEST(UsageClient, FindsItsSettingsInTheCurrentDirectoryOrItsEtc) {
  Sandbox box;
  int fd = listener(box.root() + "/sock");
  write_file(box.root() + "/etc/tmeterc.conf", "Server: Filename = " + box.root() + "/sock;\n");
  InDirectory here(box, "");
  FakeDaemon daemon(fd, answer_1024_7);
  Asked asked = ask(" ");
  EXPECT_EQ(asked.result, 1) << asked.err;
  EXPECT_EQ(daemon.received(), std::string("\0\1 ", 3));

  // A broken file in the current directory is reported, and etc/ serves.
  write_file(box.root() + "/tmeterc.conf", "Server Filename;\n");
  FakeDaemon again(dup(fd), answer_1024_7);
  asked = ask("x");
  const std::string message = "config: line 1: error: syntax error: invalid label declaration\n";
  EXPECT_EQ(asked.out, message + "config: failed reading contents of tmeterc.conf\n");
  EXPECT_EQ(asked.result, 1);
  // Without etc/ the same file is tried once more under its last name.
  std::filesystem::remove(box.root() + "/etc/tmeterc.conf");
  asked = ask("x");
  EXPECT_EQ(asked.out, message + "config: failed reading contents of tmeterc.conf\n" + message +
                           "config: failed reading contents of .//tmeterc.conf\n");
  EXPECT_EQ(asked.err, "");
}

TEST(UsageClient, ConnectTimesOutWhenTheDaemonDoesNotAccept) {
  Sandbox box;
  int port = 0;
  int fd = listener("", &port, 0);
  // Fill the pending-connection queue so that further handshakes stall.
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    sockaddr_in address{};
    parse_ip_port(("127.0.0.1:" + std::to_string(port)).c_str(), &address);
    queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  InDirectory here(box, "Server: Timeout = 1; Remote = 127.0.0.1:" + std::to_string(port) + ";\n");
  Asked asked = ask("joe@example.com");
  EXPECT_EQ(asked.result, 0);
  EXPECT_EQ(asked.err, "client_connect: connect timeout\n");
  for (int queued_fd : queued) close(queued_fd);
  close(fd);
}

TEST(UsageClient, ParsesAddressAndPort) {
  struct Case {
    const char* text;
    int ok;
    const char* ip;
    int port;
  } cases[] = {
      {"127.0.0.1:4000", 1, "127.0.0.1", 4000},
      {"10.1.2.3:70000", 1, "10.1.2.3", 70000 & 0xffff},
      {"127.0.0.1", 0, "", 0},
      {"127.0.0.1:0", 0, "", 0},
      {"127.0.0.1:-5", 0, "", 0},
      {"255.255.255.255:25", 0, "", 0},
      {"300.1.1.1:25", 0, "", 0},
      {"host:25", 0, "", 0},
  };
  for (const Case& c : cases) {
    sockaddr_in address{};
    ASSERT_EQ(parse_ip_port(c.text, &address), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(ntohs(address.sin_port), c.port) << c.text;
    EXPECT_STREQ(inet_ntoa(address.sin_addr), c.ip);
  }
}

}  // namespace
