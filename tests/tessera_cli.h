// What the tessera end-to-end tests share: a sandbox with a runner for the
// built tool, and the strict JSON check (Python's json module parses the
// document, the test's script renders it back into the plain output).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

class TesseraSandboxTest : public ::testing::Test {
 protected:
  RunResult tessera(const std::vector<std::string>& words, const std::string& input = "") {
    RunOptions options;
    options.argv = {build_output("tessera"), "--root", box.root()};
    options.argv.insert(options.argv.end(), words.begin(), words.end());
    options.env = {"PATH=/usr/bin:/bin"};
    options.input = input;
    return run_program(options);
  }
  RunResult tessera_json(const std::vector<std::string>& words, const std::string& input = "") {
    std::vector<std::string> all{"--json"};
    all.insert(all.end(), words.begin(), words.end());
    return tessera(all, input);
  }
  void ok(const std::vector<std::string>& words) {
    RunResult r = tessera(words);
    ASSERT_EQ(r.status, 0) << words[0] << " " << words[1] << " " << words.back() << ": " << r.err;
  }
  // A store with a defaults file of no limits and one domain; its directory.
  std::string add_domain(const std::string& name) {
    write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
    EXPECT_EQ(tessera({"domain", "add", name}).status, 0);
    return box.path("/usr/local/tessera/domains/") + name;
  }

  // The audit log's lines as COMMAND, OBJECT and RESULT: the time, the
  // user running the tool and the address ("-") left out.
  std::vector<std::string> audit_lines() {
    std::vector<std::string> lines;
    for (const std::string& line : lines_of(read_file(box.path("/usr/local/tessera/etc/larkspur.log")))) {
      size_t tab = 0;
      for (int field = 0; field < 3 && tab != std::string::npos; ++field) tab = line.find('\t', tab + 1);
      lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return lines;
  }

  Sandbox box;
};

// Sets a file's modification time.
inline void set_mtime(const std::string& path, time_t when) {
  struct timeval times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

// "YYYY-MM-DD HH:MM:SS" of a time in UTC.
inline std::string utc_text(time_t when) {
  struct tm utc;
  char text[32];
  gmtime_r(&when, &utc);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

// A temporary file holding text; the caller removes it.
inline std::string fs_temp_plain_file(const std::string& text) {
  char name[] = "/tmp/tessera-plain-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  write_file(name, text);
  return name;
}

// Parses json strictly and runs script, which renders the document `d`
// into `out`; gives "same" when out equals the plain output (its bytes read
// as UTF-8 with each ill-formed part replaced by U+FFFD), else both texts
// or Python's complaint.
inline std::string json_renders_plain(const std::string& json, const std::string& plain,
                                      const std::string& script) {
  std::string plain_file = fs_temp_plain_file(plain);
  RunOptions options;
  options.argv = {"/usr/bin/python3", "-c",
                  "import json, sys, time\n"
                  "d = json.loads(sys.stdin.buffer.read().decode('utf-8', 'strict'))\n"
                  "plain = open(sys.argv[1], 'rb').read().decode('utf-8', 'replace')\n"
                  "def login(a):\n"
                  "  if a['last_login'] is None: return 'never'\n"
                  "  return time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(a['last_login'])) + "
                  "' UTC from ' + a['last_login_from']\n"
                  "def line(a):\n"
                  "  return ':'.join([a['name'], a['password'], str(a['uid']), str(a['gid']), "
                  "a['full_name'], a['dir'], a['quota']])\n" +
                      script +
                      "\nprint('same' if out == plain else 'json: %r\\nplain: %r' % (out, plain))\n",
                  plain_file};
  options.env = {"PATH=/usr/bin:/bin", "PYTHONIOENCODING=utf-8"};
  options.input = json;
  RunResult r = run_program(options);
  unlink(plain_file.c_str());
  if (r.status != 0) return "python: " + r.err + "\ndocument: " + json;
  return r.out.substr(0, r.out.size() - 1);
}
