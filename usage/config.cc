// Loading a configuration: the named file first, then every file its
// "include" labels name, each read line by line into one structure.
#include "usage/config.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "base/text.h"

namespace {

// Paths this reader builds hold at most this many characters.
constexpr size_t kPathMax = 254;
// A file marked sticky is being rewritten: it is looked at again after a
// pause, this many times.
constexpr int kStickyTries = 60;
constexpr unsigned kStickyPauseSeconds = 2;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The path made absolute against the current directory.
bool absolute_path(const char* path, std::string& out) {
  if (path[0] == '/') {
    // Cut, it would name some other file.
    if (!store_path_fits(path, kPathMax)) return false;
    out = path;
    return true;
  }
  char cwd[kPathMax];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    fputs("config: error: cannot get current working directory", stdout);
    return false;
  }
  if (strlen(cwd) + strlen(path) >= kPathMax) return false;
  out = std::string(cwd) + "/" + path;
  return true;
}

enum class LineRead { line, too_long, end, failed };

// The next line without its line end (LF, CR, or CR LF). A last line with
// no line end counts as not there.
LineRead next_line(FILE* file, std::string& line) {
  line.clear();
  for (;;) {
    int c = getc(file);
    if (c == EOF) return ferror(file) ? LineRead::failed : LineRead::end;
    if (c == '\n') return LineRead::line;
    if (c == '\r') {
      int after = getc(file);
      if (after != '\n' && after != EOF) ungetc(after, file);
      return LineRead::line;
    }
    if (line.size() == kConfigLineMax) return LineRead::too_long;
    line += static_cast<char>(c);
  }
}

bool read_lines(config& conf, FILE* file) {
  conf.line = 0;
  conf.current_label = -1;
  std::string line;
  for (;;) {
    switch (next_line(file, line)) {
      case LineRead::end:
        return true;
      case LineRead::failed:
        return false;
      case LineRead::too_long:
        ++conf.line;
        printf("config: line %lu: error: syntax error: line too long\n", conf.line);
        return false;
      case LineRead::line:
        ++conf.line;
        if (!config_parse_line(conf, line)) return false;
        break;
    }
  }
}

// Each file is read once per load, so a file that includes itself, at once
// or through others, ends the load instead of running it forever.
bool first_reading(config& conf, FILE* file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return false;
  std::pair<unsigned long, unsigned long> id(st.st_dev, st.st_ino);
  if (std::find(conf.files_read.begin(), conf.files_read.end(), id) != conf.files_read.end()) {
    printf("config: error: %s is already read (include loop)\n", conf.path.c_str());
    return false;
  }
  conf.files_read.push_back(id);
  return true;
}

// Opens the file once it is not marked sticky. Nothing, without a message,
// when it does not exist or stays sticky.
File open_settled(const std::string& path) {
  for (int tries = 0; tries < kStickyTries; ++tries) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return nullptr;
    if (!(st.st_mode & S_ISVTX)) {
      File file(fopen(path.c_str(), "r"));
      if (!file) printf("config: cannot open %s for read\n", path.c_str());
      return file;
    }
    sleep(kStickyPauseSeconds);
  }
  return nullptr;
}

bool read_file(config& conf, const char* path) {
  if (!absolute_path(path, conf.path)) return false;
  File file = open_settled(conf.path);
  if (!file || !first_reading(conf, file.get())) return false;
  if (!read_lines(conf, file.get())) {
    printf("config: failed reading contents of %s\n", path);
    return false;
  }
  return true;
}

bool is_include(const config_label& label) {
  return strcasecmp(label.name.c_str(), "include") == 0;
}

// The first include not read yet, as (label, atom) positions.
std::optional<std::pair<size_t, size_t>> next_include(const config& conf) {
  for (size_t l = 0; l < conf.labels.size(); ++l) {
    if (!is_include(conf.labels[l])) continue;
    const auto& atoms = conf.labels[l].atoms;
    for (size_t a = 0; a < atoms.size(); ++a) {
      if (!atoms[a].value.empty() && !(atoms[a].flags & kConfigAtomRead))
        return std::make_pair(l, a);
    }
  }
  return std::nullopt;
}

config* load(const char* path) {
  std::unique_ptr<config> conf(new (std::nothrow) config);
  if (!conf) {
    fputs("config: out of memory", stdout);
    return nullptr;
  }
  if (!read_file(*conf, path)) return nullptr;
  while (auto include = next_include(*conf)) {
    auto [l, a] = *include;
    std::string file = conf->labels[l].atoms[a].value;
    if (!read_file(*conf, file.c_str())) {
      fputs("config: error: failure", stdout);
      return nullptr;
    }
    conf->labels[l].atoms[a].flags |= kConfigAtomRead;
  }
  if (conf->flags & kConfigInComment) {
    printf("config: line %lu: error: syntax error: comment runs past EOF\n", conf->line);
    return nullptr;
  }
  return conf.release();
}

}  // namespace

config* config_load(const char* path) {
  if (path == nullptr) return nullptr;
  try {
    return load(path);
  } catch (const std::bad_alloc&) {
    fputs("config: out of memory", stdout);
    return nullptr;
  }
}

const char* config_lookup(const config* conf, const char* label, const char* atom) {
  if (conf == nullptr || label == nullptr || atom == nullptr) return nullptr;
  for (const config_label& l : conf->labels) {
    if (strcasecmp(l.name.c_str(), label) != 0) continue;
    for (const config_atom& a : l.atoms) {
      if (!a.name.empty() && strcasecmp(a.name.c_str(), atom) == 0) return a.value.c_str();
    }
  }
  return nullptr;
}

void config_free(config* conf) { delete conf; }
