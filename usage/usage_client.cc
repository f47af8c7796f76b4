// The usage daemon's client: settings from tmeterc.conf, a connection with
// a time-out, one query and its fixed-size answer.
#include "usage/usage_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/text.h"
#include "usage/config.h"

namespace {

constexpr const char* kConfName = "tmeterc.conf";
constexpr size_t kConfPathMax = 254;
constexpr size_t kSocketPathMax = 106;
constexpr size_t kAddressMax = 15;
constexpr size_t kAnswerSize = 16;

// Whoever is first to load: the store user's etc/, then the current
// directory, its etc/, and the current directory spelt "./".
config* load_settings() {
  if (const passwd* user = getpwnam("tessera")) {
    std::string path = std::string(user->pw_dir) + "/etc/" + kConfName;
    // Cut, the path would name some other file to take settings from.
    if (store_path_fits(path, kConfPathMax)) {
      if (config* conf = config_load(path.c_str())) return conf;
    }
  }
  for (std::string path :
       {std::string(kConfName), std::string("etc/") + kConfName, std::string(".//") + kConfName}) {
    if (config* conf = config_load(path.c_str())) return conf;
  }
  return nullptr;
}

struct Settings {
  int timeout = 1;
  bool remote = false;
  sockaddr_in inet{};
  sockaddr_un local{};
};

// The settings a connection needs; false when switched off or unusable.
bool read_settings(const config* conf, Settings& settings) {
  const char* disable = config_lookup(conf, "Server", "Disable");
  if (disable != nullptr && strcasecmp(disable, "True") == 0) return false;
  if (const char* timeout = config_lookup(conf, "Server", "Timeout")) {
    settings.timeout = atoi(timeout);
    // Zero would never wait and a negative wait is refused by the kernel.
    if (settings.timeout < 1) {
      fprintf(stderr, "client_connect: configuration error: Server::Timeout: %s\n", timeout);
      settings.timeout = 1;
    }
  }
  if (const char* remote = config_lookup(conf, "Server", "Remote")) {
    if (!parse_ip_port(remote, &settings.inet)) {
      fprintf(stderr, "client_connect: configuration error: Server::Remote: %s\n", remote);
      return false;
    }
    settings.remote = true;
    return true;
  }
  // A socket path too long for the address is not cut (that would be
  // some other socket): such a Filename is as unusable as none.
  const char* filename = config_lookup(conf, "Server", "Filename");
  std::string path = filename ? filename : "";
  if (path.empty() ||
      !store_path_fits(path, std::min(kSocketPathMax, sizeof settings.local.sun_path - 1))) {
    fputs("client_connect: configuration error: Server::Filename\n", stderr);
    return false;
  }
  settings.local.sun_family = AF_UNIX;
  memcpy(settings.local.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Milliseconds for poll, from whole seconds.
int wait_ms(int seconds) { return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000; }

// Waits for the events at most `seconds`: 1 when they came, 0 at the
// time-out, -1 when the wait failed.
int wait_for(int fd, short events, int seconds) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, wait_ms(seconds));
}

// A failed non-blocking connect still shows the socket writable; its
// pending error tells.
int pending_error(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

// Connects the socket, waiting at most `timeout` seconds: fd, or -1 after
// a message with the socket closed.
int connect_socket(const Settings& settings) {
  int fd = socket(settings.remote ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    fprintf(stderr, "client_connect: socket failed: %d\n", errno);
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
    fprintf(stderr, "client_connect: warning: fcntl failed: %d\n", errno);
  const sockaddr* address = settings.remote ? reinterpret_cast<const sockaddr*>(&settings.inet)
                                            : reinterpret_cast<const sockaddr*>(&settings.local);
  socklen_t size = settings.remote ? sizeof settings.inet : sizeof settings.local;
  int connected = connect(fd, address, size);
  int error = errno;
  if (connected != 0 && (error != EINPROGRESS || flags == -1)) {
    close(fd);
    fprintf(stderr, "client_connect: connect failed: %d\n", error);
    return -1;
  }
  if (connected == 0 || flags == -1) return fd;
  int ready = wait_for(fd, POLLOUT, settings.timeout);
  if (ready == 0) {
    close(fd);
    fputs("client_connect: connect timeout\n", stderr);
    return -1;
  }
  if (ready < 0) {
    fprintf(stderr, "client_connect: select failed: %d\n", errno);
    close(fd);
    return -1;
  }
  if ((error = pending_error(fd)) != 0) {
    close(fd);
    fprintf(stderr, "client_connect: connect failed: %d\n", error);
    return -1;
  }
  return fd;
}

// One whole send that never raises SIGPIPE; false after a message.
bool send_whole(int fd, const void* data, size_t size) {
  ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
  if (sent == static_cast<ssize_t>(size)) return true;
  fprintf(stderr, "client_query: write failed: %d (%d)\n", static_cast<int>(sent), errno);
  return false;
}

uint64_t read_big_endian(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

client_handle* client_connect() {
  config* conf = load_settings();
  if (conf == nullptr) return nullptr;
  Settings settings;
  bool usable = read_settings(conf, settings);
  config_free(conf);
  if (!usable) return nullptr;
  int fd = connect_socket(settings);
  if (fd < 0) return nullptr;
  client_handle* handle = new (std::nothrow) client_handle;
  if (handle == nullptr) {
    close(fd);
    fputs("client_connect: malloc failed\n", stderr);
    return nullptr;
  }
  handle->fd = fd;
  handle->timeout = settings.timeout;
  return handle;
}

int client_query(client_handle* handle, const char* text, size_t length, uint64_t* size,
                 uint64_t* count) {
  *size = *count = UINT64_MAX;
  if (handle == nullptr) return 0;
  // The length field holds 16 bits; what is sent matches what it says.
  length &= 0xffff;
  unsigned char header[2] = {static_cast<unsigned char>(length >> 8),
                             static_cast<unsigned char>(length)};
  if (!send_whole(handle->fd, header, sizeof header) || !send_whole(handle->fd, text, length))
    return 0;
  int ready = wait_for(handle->fd, POLLIN, handle->timeout);
  if (ready == 0) {
    fputs("client_query: timeout on response\n", stderr);
    return 0;
  }
  if (ready < 0) {
    fprintf(stderr, "client_query: select failed: %d\n", errno);
    return 0;
  }
  unsigned char answer[kAnswerSize];
  ssize_t got = read(handle->fd, answer, sizeof answer);
  if (got == 0) {
    fputs("client_query: lost connection to server\n", stderr);
  } else if (got < 0) {
    fprintf(stderr, "client_query: read failed: %d\n", errno);
  } else if (got != static_cast<ssize_t>(kAnswerSize)) {
    fputs("client_query: smaller than expected response\n", stderr);
  } else {
    *size = read_big_endian(answer);
    *count = read_big_endian(answer + 8);
    return 1;
  }
  return 0;
}

void client_close(client_handle* handle) {
  if (handle == nullptr) return;
  if (handle->fd != -1) close(handle->fd);
  delete handle;
}

int query_usage(const char* text, uint64_t* size, uint64_t* count) {
  if (text == nullptr) return 0;
  client_handle* handle = client_connect();
  if (handle == nullptr) return 0;
  int answered = client_query(handle, text, strlen(text), size, count);
  client_close(handle);
  return answered;
}

int parse_ip_port(const char* text, sockaddr_in* address) {
  const char* colon = strchr(text, ':');
  if (colon == nullptr) return 0;
  int port = atoi(colon + 1);
  if (port <= 0) return 0;
  std::string ip(text, static_cast<size_t>(colon - text));
  cut_text(ip, kAddressMax);
  in_addr_t ip_number = inet_addr(ip.c_str());
  if (ip_number == INADDR_NONE) return 0;
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = ip_number;
  address->sin_port = htons(static_cast<uint16_t>(port));
  return 1;
}
