// The download window as a screen reader and a person meet it: the built installer on a display of its own (Xvfb,
// or Wayland without X) with a session bus, read through AT-SPI by tests/window_reader.py. Each row checks the
// reader's report (regular expressions; "!" for what must not be there).
#include <glib.h>
#include <gtest/gtest.h>

#include <libintl.h>

#include <clocale>
#include <regex>

#include "installer_run.h"
#include "provisioning/build_constants.h"
#include "download/progress_meter.h"

using namespace testing_util;

namespace {

const std::string kGerman = "de_DE.UTF-8";

// reader: its options; agentPrologue: $M is the marker the reader watches; err: the installer's whole stderr.
struct Row {
  std::string name, query; Lines reader; std::map<std::string, std::optional<std::string>> env;
  std::string agentPrologue; Lines report; bool agentStarts; std::string err = ""; bool splash = true;
  bool installed = false;  // a signed build, with a vouched agent in its cache
};

const std::string kSlow = "/files/slow.zip?rate=120000";
const std::string kTree = "frame 'Installer'\n  filler ''\n    icon 'Installer'\n    progress bar 'Download progress' "
                          "labelled-by 'Downloading +[0-9]+%' described '[^']* \u2014 (A few seconds|Less than a minute) left'\n    filler ''\n      label 'Downloading +[0-9]+%'\n"
                          "      label '[0-9.]+\\\\xa0kB of 400.[0-9]\\\\xa0kB, [0-9.]+\\\\xa0kB/s \u2014 (A few seconds|Less than a minute) left'\n"
                          "    push button 'Cancel' focused\n";

// 100 kB of an archive, then a captive portal's page in its place: downloading, then a failure with a long cause.
const std::string kPortal = "/files/portal.html?firsthits=1&first=slow.zip&failures=1&dropafter=100000&rate=120000";
const Lines kPortalFailure = {"alert: Error during [^|]+\\| the server sent something that is not the installer",
    "height: kept", "after alert: push button 'Close' focused", "said: (bar )?alert( bar)?\n", "contrast: enough", "exit: 255"};
const std::string kPortalErr = "Download attempt failed, retrying in [^\n]+\nDownload failed! Error - the server sent [^\n]+\nInstallation failed.\n";

const Row kRows[] = {
    {"ReadAsAScreenReaderDoes", kSlow, {"--shot"}, {}, "", {kTree, "progress: moved", "texts: calm",
     "checkerboard: blurred", "mapped: yes", "exit: 0"}, true},
    {"FailureIsAnAlertWithItsCause", "/files/missing.zip", {"--escape"}, {}, "",
     {"alert: Error during the download process. See your system log for more information. \\| HTTP status 404\n",
      "said: alert( bar)?\n", "after alert: push button 'Close' focused", "escape: pressed", "exit: 255"}, false,
     "Download failed! Error - HTTP status 404 \\S+\nInstallation failed.\n"},
    {"FailureKeepsTheWindowsHeight", kPortal, {"--contrast", "--escape"}, {}, "", kPortalFailure, false, kPortalErr},
    {"FailureInADarkTheme", kPortal, {"--contrast", "--escape"}, {{"GTK_THEME", "Adwaita:dark"}}, "", kPortalFailure,
     false, kPortalErr},
    {"FailureInHighContrast", kPortal, {"--contrast", "--escape"}, {{"GTK_THEME", "HighContrast"}}, "",
     kPortalFailure, false, kPortalErr},
    {"FailureUnderAWindowManager", kPortal, {"--contrast", "--escape", "--wm"}, {}, "", kPortalFailure, false, kPortalErr},
    {"FailureInLargeText", kPortal, {"--contrast", "--escape"}, {{"GDK_DPI_SCALE", "1.5"}}, "", kPortalFailure, false,
     kPortalErr},
    {"EscapeCancels", kSlow, {"--escape"}, {}, "", {"escape: pressed", "exit: 255"}, false, "Installation failed.\n"},
    {"GermanWindowEnglishStandardError", kSlow + "&failures=1&status=503", {"--locale", kGerman},
     {{"LANG", kGerman}, {"LANGUAGE", "de"}}, "",
     {"progress bar 'Fortschritt des Herunterladens' labelled-by 'Herunterladen +[0-9]+%'",
      "label '[0-9]+,[0-9]\\\\xa0KB von 400,[0-9]\\\\xa0KB, [0-9]+,[0-9]\\\\xa0KB/s \u2014 Noch ",
      "push button 'Abbrechen' focused", "exit: 0"}, true,
     "Download attempt failed, retrying in 0\\.[01] s: HTTP status 503 \\S+\n"},
    {"UnknownLanguageIsEnglish", kSlow, {"--locale", kGerman}, {{"LANG", kGerman}, {"LANGUAGE", "xx"}}, "",
     {"label 'Downloading +[0-9]+%'", "label '[0-9]+\\.[0-9]\\\\xa0kB of", "push button 'Cancel'", "exit: 0"}, true},
    {"SharpOnHiDpi", kSlow, {"--shot"}, {{"GDK_SCALE", "2"}}, "", {"checkerboard: sharp", "exit: 0"}, true},
    {"NoSplashNoRoomForIt", kSlow, {}, {}, "", {"!icon", "progress bar", "exit: 0"}, true, "", false},
    {"WaylandWithoutX", kSlow, {"--wayland", "--shot"}, {}, "", {"frame 'Installer'", "exit: 0"}, true,
     "(?![^]*Downloading)[^]*"},  // toolkit warnings, but no console progress
    {"WindowLiveWhileTheAgentStarts", "/files/agent.zip", {}, {}, "touch \"$M\"; sleep 5; touch \"$M.done\"",
     {"at 1 s: Initializing the installer\n", "at 2 s: Initializing the installer\n", "closed: later, agent running\n",
      "bus: gone\n", "exit: 0"}, true},
    {"CancelWhileTheAgentStartsIsIgnored", "/files/agent.zip", {"--escape-starting"}, {},
     "touch \"$M\"; sleep 4; touch \"$M.done\"", {"at 1 s: Initializing the installer\nescape: pressed\n",
     "at 2 s: Initializing the installer\n", "closed: later, agent running\n", "exit: 0"}, true},
    {"QuickCacheHitShowsNoWindow", "/files/$AGENT?etag=v1", {}, {}, "",
     {"mapped: never", "exit: 0"}, true, "", true, true},
    {"AFailedDownloadWithAnAgentInstalledShowsNoFailure", "/files/missing.zip", {}, {},
     "touch \"$M\"; sleep 3; touch \"$M.done\"", {"at 1 s: Initializing the installer\n", "!alert", "exit: 0"}, true,
     "Using the installed agent \\(signed [0-9]{4}-[0-9]{2}-[0-9]{2}\\): HTTP status 404\n", true, true},
    {"WindowGoneWithTheAgent", "/files/agent.zip", {}, {}, "touch \"$M.done\" \"$M\"", {"closed: at once\n", "exit: 0"},
     true},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Window : public InstallerRun, public ::testing::WithParamInterface<Row> {};

TEST_P(Window, Row) {
  const Row& row = GetParam();
  if (access("/usr/bin/dbus-run-session", X_OK) != 0) GTEST_SKIP() << "dbus-run-session is not installed";
  std::string marker = scratch / "agent-started", shot = scratch / "shot.png", err = scratch / "err";
  agentPrologue = "M='" + marker + "'\n" + row.agentPrologue + "\n";
  publish("v1");  // again, with the prologue
  publish("v1", "slow.zip", 400000);
  writeFile(served / "portal.html", "<html><body>Sign in to the network</body></html>");
  if (row.splash) {  // a one-pixel checkerboard, twice the window's 400 x 400 points
    ASSERT_EQ(runProcess({"convert", "-size", "800x800", "pattern:gray50", resources + "/splash.png"}).exitStatus, 0);
  }
  ASSERT_EQ(runProcess({"cp", "-r", INSTALLER_LOCALE_DIR, resources}).exitStatus, 0);
  if (row.installed) {
    publish("v1", installAgentFileName);
    ASSERT_EQ(runProcess({"minisign", "-S", "-s", TEST_KEYS_DIR "/trusted1.key", "-m", served / installAgentFileName}).exitStatus, 0);
    ASSERT_EQ(runProcess({"cp", SIGNED_INSTALLER_EXECUTABLE, executable}).exitStatus, 0);
    ASSERT_EQ(run("/files/" + installAgentFileName + "?etag=v1").exitStatus, 0);
    runProcess({"rm", "-f", starts, marker, marker + ".done"});
  }
  withDisplay = true;
  std::string query = row.query;
  if (size_t at = query.find("$AGENT"); at != std::string::npos) query.replace(at, 6, installAgentFileName);
  ProcessOptions o = options(query);
  for (const auto& [name, value] : row.env) o.env[name] = value;
  o.timeoutSeconds = 90;
  // Debian's own python holds the AT-SPI bindings.
  std::vector<std::string> argv = {"dbus-run-session", "--", "/usr/bin/python3", WINDOW_READER, "--err", err};
  for (const std::string& option : row.reader) argv.push_back(option == "--shot" ? "--shot=" + shot : option);
  if (!row.agentPrologue.empty()) argv.push_back("--marker=" + marker);
  argv.insert(argv.end(), {"--", executable});
  ProcessResult r = runProcess(argv, o);
  if (r.exitStatus == 77) GTEST_SKIP() << r.out;
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  for (const std::string& expected : row.report) {
    bool absent = expected[0] == '!';
    EXPECT_NE(std::regex_search(r.out, std::regex(expected.substr(absent))), absent) << expected << "\n" << r.out;
  }
  EXPECT_TRUE(std::regex_match(readFile(err), std::regex(row.err))) << readFile(err);
  EXPECT_EQ(startCount(), row.agentStarts ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Reader, Window, ::testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });

// The console's progress line in a terminal 60 columns wide: each redraw stays on its line (a wider one would wrap
// and leave a line behind at every carriage return).
TEST_F(InstallerRun, ConsoleRedrawsStayOnTheirLineInANarrowTerminal) {
  publish("v1", "slow.zip", 400000);
  ProcessResult r = runProcess({"script", "-qefc", "stty cols 60; exec '" + executable + "'", "/dev/null"},
                               options(kSlow));
  ASSERT_EQ(r.exitStatus, 0) << r.out;
  size_t redraws = 0, left = 0;
  for (std::string line : lines(r.out)) {
    for (size_t at = 0, end; at < line.size(); at = end + 1) {
      end = std::min(line.find('\r', at), line.size());
      std::string shown = std::regex_replace(line.substr(at, end - at), std::regex("\033\\[K"), "");
      if (shown.empty()) continue;
      redraws += shown.rfind("Downloading", 0) == 0;
      left += (g_utf8_strlen(shown.c_str(), -1) - 1) / 60;  // rows the terminal wrapped onto
    }
  }
  EXPECT_GT(redraws, 3u) << r.out;
  EXPECT_EQ(left, 0u) << r.out;
}

// The time left, as the window and the console say it: only once the rate is steady (100 kB/s here, over 1.5 s)
// and the total is known.
TEST(TimeLeft, InTheWordsPeopleLookFor) {
  RateMeter rate, young;
  for (int i = 0; i <= 6; ++i) rate.add(i * 25000, i * 0.25);
  for (int i = 0; i <= 2; ++i) young.add(i * 25000, i * 0.25);
  struct Row { int64_t total; const RateMeter& meter; const char* expected; } rows[] = {
      {1000000, rate, "A few seconds left"}, {5000000, rate, "Less than a minute left"},
      {8000000, rate, "About 1 minute left"}, {36000000, rate, "About 6 minutes left"},
      {400000000, rate, "About 1 hour left"}, {1440000000, rate, "About 4 hours left"},
      {0, rate, ""}, {-1, rate, ""}, {1000000, young, ""},
  };
  for (const Row& row : rows) {
    auto left = estimateTimeLeft(0, row.total, row.meter);
    EXPECT_EQ(left ? window::englishTimeLeft(*left) : "", row.expected) << row.total;
  }
}

// The German catalogue the build makes: "1 Minute", "2 Minuten", and the same for hours.
TEST(TimeLeft, GermanPluralForms) {
  const char* domain = "bootstrap-installer";
  ScopedEnv language("LANGUAGE", "de");  // honoured in any locale but "C"
  ASSERT_TRUE(setlocale(LC_MESSAGES, "C.UTF-8"));
  bindtextdomain(domain, INSTALLER_LOCALE_DIR);
  bind_textdomain_codeset(domain, "UTF-8");
  const char *minute = "About %1$s minute left", *minutes = "About %1$s minutes left";
  const char *hour = "About %1$s hour left", *hours = "About %1$s hours left";
  struct Row { const char *one, *many; unsigned long n; std::string german; } rows[] = {
      {minute, minutes, 1, "Noch etwa 1 Minute"}, {minute, minutes, 2, "Noch etwa 2 Minuten"},
      {minute, minutes, 21, "Noch etwa 21 Minuten"}, {hour, hours, 1, "Noch etwa 1 Stunde"},
      {hour, hours, 4, "Noch etwa 4 Stunden"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(window::fillPattern(dngettext(domain, row.one, row.many, row.n), {std::to_string(row.n)}), row.german);
  setlocale(LC_MESSAGES, "C");
}

}  // namespace
