#include "usage/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/testlib/testlib.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Loaded {
  bool ok = false;
  std::string labels;  // Name{atom=value|bare|}...
  std::string out;     // what the reader printed
};

Loaded load(const std::string& path) {
  CaptureStdout();
  config* conf = config_load(path.c_str());
  Loaded loaded{conf != nullptr, "", GetCapturedStdout()};
  if (conf == nullptr) return loaded;
  for (const config_label& label : conf->labels) {
    loaded.labels += label.name + "{";
    for (const config_atom& atom : label.atoms)
      loaded.labels += (atom.name.empty() ? "" : atom.name + "=") + atom.value + "|";
    loaded.labels += "}";
  }
  config_free(conf);
  return loaded;
}

TEST(ConfigLanguage, ReadsLabelsAndAtoms) {
  const std::string long_value(252 - 8, 'x');
  struct Case {
    std::string text, labels;
  } cases[] = {
      {"Server: Timeout = 5;\n", "Server{Timeout=5|}"},
      {"Server: Timeout = 5;", ""},  // a last line without a line end is not read
      {"S: a = 1; b = 2;\n", "S{a=1|b=2|}"},
      {"S: a = 1;\n\tb = 2;\n  c;\nT:\n", "S{a=1|b=2|c|}T{}"},
      {"S: v = \"x;y:z=w //k /*\";\n", "S{v=x;y:z=w //k /*|}"},
      {"S: v = a\\59b; w = \\315\\q\\\"; x = \"a\\b\";\n", "S{v=a;b|w=;q\"|x=a\\b|}"},
      {"S: a = 1; // b = 2;\n", "S{a=1|}"},
      {"S: a = /** x **/1;\n", "S{a=1|}"},
      {"S: a = 1;\n/* x\n T: y; */\n\tb = 2;\n", "S{a=1|b=2|}"},
      {"S : a;\n", "S {a|}"},
      {"S: ;; a = ;\tb = x  ;\n", "S{a=|b=x  |}"},
      {"S: a;\rT: b;\r\n\n   \nU: c;\n", "S{a|}T{b|}U{c|}"},
      {"S: " + long_value + ";\n", "S{" + long_value + "|}"},
  };
  Sandbox box;
  for (const Case& c : cases) {
    write_file(box.root() + "/t.conf", c.text);
    Loaded loaded = load(box.root() + "/t.conf");
    EXPECT_TRUE(loaded.ok) << c.text;
    EXPECT_EQ(loaded.labels, c.labels) << c.text;
    EXPECT_EQ(loaded.out, "") << c.text;
  }
}

TEST(ConfigLanguage, RefusesBadFilesWithTheirMessages) {
  const std::string warn = "config: warning: syntax error: unterminated literal";
  struct Case {
    std::string text, message;
  } cases[] = {
      {"S a;\n", "config: line 1: error: syntax error: invalid label declaration\n"},
      {"S: a;\n\"\": b;\n", "config: line 2: error: syntax error: empty label name\n"},
      {"\n\ta = 1;\n", "config: line 2: error: syntax error (wrapping without a label)\n"},
      {"S: a = 1\n", "config: line 1: syntax error: no terminating semi-colon\n"},
      {"S: a; b\n", "config: line 1: syntax error: no terminating semi-colon\n"},
      {"S: = 1;\n", "config: line 1: syntax error: empty atom name\n"},
      {"S: a = \"x;\n", warn + warn + "config: line 1: syntax error: no terminating semi-colon\n"},
      {"S: a\\ = 1;\n",
       "config: error: syntax error: unterminated literal"
       "config: line 1: config_convert_literal failed\n"},
      {"S: a;\nS: " + std::string(250, 'x') + ";\n",
       "config: line 2: error: syntax error: line too long\n"},
  };
  Sandbox box;
  const std::string path = box.root() + "/t.conf";
  for (const Case& c : cases) {
    write_file(path, c.text);
    Loaded loaded = load(path);
    EXPECT_FALSE(loaded.ok) << c.text;
    EXPECT_EQ(loaded.out, c.message + "config: failed reading contents of " + path + "\n")
        << c.text;
  }
  write_file(path, "S: a;\n/* open\n\n");
  EXPECT_EQ(load(path).out, "config: line 3: error: syntax error: comment runs past EOF\n");
  // A path past 254 characters is not cut to the name of another file.
  const std::string too_long = box.root() + "/" + std::string(260 - box.root().size(), 'c');
  write_file(too_long.substr(0, 254), "S: a;\n");
  for (std::string absent : {box.root() + "/none.conf", std::string(300, 'x'), too_long}) {
    Loaded loaded = load(absent);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.out, "");
  }
}

TEST(ConfigLanguage, IncludesFollowTheIncludingFileAndRefuseCycles) {
  Sandbox box;
  const std::string a = box.root() + "/a.conf", b = box.root() + "/b.conf",
                    c = box.root() + "/c.conf";
  write_file(a, "A: x;\nInclude: " + b + ";\nZ: z;\n");
  write_file(b, "B: y;\nINCLUDE: c.conf;\n");  // relative to the current directory
  write_file(c, "\n/* comment */\nC: w;\n");
  std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(box.root().c_str()), 0);
  Loaded loaded = load(a);
  EXPECT_EQ(loaded.labels, "A{x|}Include{" + b + "|}Z{z|}B{y|}INCLUDE{c.conf|}C{w|}");
  EXPECT_EQ(loaded.out, "");
  config* conf = config_load(a.c_str());
  ASSERT_NE(conf, nullptr);
  EXPECT_EQ(conf->labels.back().path, c);  // declared on line 3 of c.conf
  EXPECT_EQ(conf->labels.back().line, 3u);
  config_free(conf);

  struct Case {
    std::string c_text, out;
  } cases[] = {
      {"C: w;\ninclude: " + a + ";\n", "config: error: " + a + " is already read (include loop)\n"},
      {"include: c.conf;\n", "config: error: " + c + " is already read (include loop)\n"},
      {"include: missing.conf;\n", ""},
      {"C: w\n",
       "config: line 1: syntax error: no terminating semi-colon\n"
       "config: failed reading contents of c.conf\n"},
  };
  for (const Case& cs : cases) {
    write_file(c, cs.c_text);
    loaded = load(a);
    EXPECT_FALSE(loaded.ok) << cs.c_text;
    EXPECT_EQ(loaded.out, cs.out + "config: error: failure") << cs.c_text;
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST(ConfigLanguage, LookupTakesTheFirstMatchInFileOrderIgnoringCase) {
  Sandbox box;
  write_file(box.root() + "/t.conf",
             "Server: Timeout = 5; bare;\nOther: Timeout = 7;\nserver: TIMEOUT = 9; Extra = 1;\n");
  config* conf = config_load((box.root() + "/t.conf").c_str());
  ASSERT_NE(conf, nullptr);
  struct Case {
    const char *label, *atom, *value;
  } cases[] = {
      {"SERVER", "timeout", "5"},  {"server", "extra", "1"},       {"Other", "Timeout", "7"},
      {"Server", "bare", nullptr}, {"Server", "missing", nullptr}, {"Nope", "Timeout", nullptr},
  };
  for (const Case& c : cases) {
    const char* value = config_lookup(conf, c.label, c.atom);
    EXPECT_STREQ(value, c.value) << c.label << "::" << c.atom;
  }
  EXPECT_EQ(config_lookup(nullptr, "Server", "Timeout"), nullptr);
  config_free(conf);
  config_free(nullptr);
}

}  // namespace
