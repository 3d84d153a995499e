// The manual page against the tool's own messages, and what `cmake --install`
// puts where.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"
#include "run_tool.h"
#include "test_pictures.h"

namespace {

namespace fs = std::filesystem;

const std::string kSource = JPEGFADE_SOURCE_DIR;

// A font request's text as the reader sees it: ".B" joins its arguments with
// spaces, the alternating ones (".BI" and the like) join them with nothing.
std::string RequestText(const std::string& line) {
  const std::regex request(R"(^\.([BIR]{1,2})\s+(.*)$)");
  std::smatch parts;
  if (!std::regex_match(line, parts, request)) return line;
  const std::string separator = parts[1].length() == 1 ? " " : "";
  const std::regex argument(R"re("([^"]*)"|(\S+))re");
  const std::string rest = parts[2];
  std::string text;
  for (std::sregex_iterator it(rest.begin(), rest.end(), argument), end;
       it != end; ++it) {
    if (!text.empty()) text += separator;
    text += (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
  }
  return text;
}

// The tags of the DIAGNOSTICS section's entries (the line after each .TP),
// as the reader sees them.
std::vector<std::string> DiagnosticsEntries(const std::string& page) {
  std::istringstream lines(page);
  std::vector<std::string> entries;
  bool in_section = false, tag_next = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(".SH", 0) == 0) in_section = line == ".SH DIAGNOSTICS";
    if (!in_section) continue;
    if (tag_next) {
      std::string text = RequestText(line);
      text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
      entries.push_back(std::regex_replace(text, std::regex(R"(\\-)"), "-"));
    }
    tag_next = line == ".TP";
  }
  return entries;
}

TEST(ManualPage, DiagnosticsListsEveryMessageAndNoOther) {
  const std::set<std::string> messages(std::begin(kMessages),
                                       std::end(kMessages));
  const std::vector<std::string> entries =
      DiagnosticsEntries(ReadFileBytes(kSource + "/man/jpegfade.1"));
  // "%s" in a message stands for the one word that names the path or file.
  auto matches = [](const std::string& message, const std::string& entry) {
    std::string pattern;
    for (char c : message) {
      pattern += std::isalnum(static_cast<unsigned char>(c)) || c == ' '
                     ? std::string(1, c)
                     : std::string("\\") + c;
    }
    pattern = std::regex_replace(pattern, std::regex(R"(\\%s)"), R"(\w+)");
    return std::regex_match(entry, std::regex(pattern));
  };
  for (const std::string& message : messages) {
    bool found = false;
    for (const std::string& entry : entries) found |= matches(message, entry);
    EXPECT_TRUE(found) << "not in DIAGNOSTICS: " << message;
  }
  for (const std::string& entry : entries) {
    bool found = false;
    for (const std::string& message : messages) {
      found |= matches(message, entry);
    }
    EXPECT_TRUE(found) << "the tool never prints: " << entry;
  }
}

TEST(ManualPage, CarriesTheProjectVersion) {
  const std::string title = ".TH JPEGFADE 1 ";
  const std::string version = "\"jpegfade " JPEGFADE_VERSION "\"";
  for (const std::string& page :
       {ReadFileBytes(kSource + "/man/jpegfade.1"),
        ReadFileBytes(std::string(JPEGFADE_BINARY_DIR) + "/jpegfade.1")}) {
    const size_t at = page.find(title);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(page.substr(at, page.find('\n', at) - at).find(version),
              std::string::npos);
  }
}

// Runs `command` through the shell; its standard output and error, and
// whether it exited 0.
std::pair<std::string, bool> Shell(const std::string& command) {
  FILE* run = popen((command + " 2>&1").c_str(), "r");
  if (!run) return {"", false};
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) {
    out.append(buffer, n);
  }
  const int status = pclose(run);
  return {out, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

const std::string kBinary = JPEGFADE_BINARY_DIR;

TEST(Install, PutsTheToolItsPageAndItsTermsUnderThePrefixAndTakesThemAway) {
  const fs::path prefix = MakeTempFolder();
  ASSERT_FALSE(prefix.empty());
  const auto [out, installed] =
      Shell(Quoted(CMAKE_COMMAND) + " --install " + Quoted(kBinary) +
            " --prefix " + Quoted(prefix.string()));
  ASSERT_TRUE(installed) << out;
  const fs::path tool = prefix / "bin/jpegfade";
  ASSERT_TRUE(fs::exists(tool));
  EXPECT_NE(fs::status(tool).permissions() & fs::perms::owner_exec,
            fs::perms::none);
  EXPECT_EQ(ReadFileBytes(prefix / "share/man/man1/jpegfade.1.gz"),
            ReadFileBytes(kBinary + "/jpegfade.1.gz"));
  EXPECT_EQ(ReadFileBytes(prefix / "share/doc/jpegfade/copyright"),
            ReadFileBytes(kSource + "/debian/copyright"));
  EXPECT_TRUE(fs::exists(prefix / "share/doc/jpegfade/changelog.gz"));

  // The installed tool runs: a person who gives no arguments is shown the
  // usage on standard error, after the one line scripts read, also with
  // 2>&1, with the rule broken. Alone, --help (or -h) and --version answer
  // on standard output, with status 0.
  Limits installed_tool;
  installed_tool.program = tool.c_str();
  installed_tool.merged = true;
  const Outcome usage = RunIn(prefix, {}, installed_tool);
  EXPECT_EQ(usage.out,
            "argument error\n"
            "jpegfade: fewer than three arguments: FIRST, SECOND and PREFIX\n"
            "usage: jpegfade FIRST SECOND PREFIX ALPHA (see man jpegfade)\n");
  EXPECT_EQ(usage.status, 255);
  for (const char* asking : {"--help", "-h"}) {
    const Outcome help = RunIn(prefix, {asking}, installed_tool);
    EXPECT_EQ(help.status, 0) << asking;
    EXPECT_EQ(help.out.rfind("usage: jpegfade FIRST SECOND PREFIX ALPHA\n", 0),
              0u) << asking;
    EXPECT_NE(help.out.find("see man jpegfade\n"), std::string::npos);
  }
  const Outcome version = RunIn(prefix, {"--version"}, installed_tool);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("jpegfade " JPEGFADE_VERSION "\n", 0), 0u);
  EXPECT_NE(version.out.find("MIT"), std::string::npos);

  // Uninstalling takes away what was installed and nothing of the user's.
  WriteFileBytes(prefix / "bin/other", "the user's");
  const auto [removed, uninstalled] = Shell(
      "make -s -C " + Quoted(kSource) + " uninstall BUILD=" + Quoted(kBinary) +
      " PREFIX=" + Quoted(prefix.string()));
  EXPECT_TRUE(uninstalled) << removed;
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
    if (!entry.is_directory()) {
      left.insert(entry.path().lexically_relative(prefix).string());
    }
  }
  EXPECT_EQ(left, std::set<std::string>{"bin/other"});
  EXPECT_FALSE(fs::exists(prefix / "share/doc/jpegfade"));
  fs::remove_all(prefix);
}

TEST(Install, TheToolIsHardened) {
#ifdef JPEGFADE_UNDER_ASAN
  GTEST_SKIP() << "a sanitizer build is not a hardened one";
#endif
  if (!Shell("command -v hardening-check").second) {
    GTEST_SKIP() << "no hardening-check here: install devscripts";
  }
  // Control-flow and branch protection are not asked of the tool, as Debian
  // asks them of none of its own yet; trixie's checker knows the second.
  // Without the optimiser (a Debug build, DEB_BUILD_OPTIONS=noopt) no call
  // can be fortified.
  std::string options = "--nocfprotection";
  if (!JPEGFADE_OPTIMISED) options += " --nofortify";
  if (Shell("hardening-check --help").first.find("--nobranchprotection") !=
      std::string::npos) {
    options += " --nobranchprotection";
  }
  const auto [checked, hardened] =
      Shell("hardening-check " + options + " " + Quoted(JPEGFADE_EXECUTABLE));
  EXPECT_TRUE(hardened) << checked;
}

}  // namespace
