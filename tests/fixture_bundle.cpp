#include "fixture_bundle.h"

#include <gtest/gtest.h>

namespace testing_util {

FixtureBundle::FixtureBundle(const std::string& root) : root_(root) {
  makeDirs(app() + "/Contents/MacOS");
  makeDirs(resources());
  ProcessResult cp = runProcess({"cp", INSTALLER_EXECUTABLE, INSTALLER_WINDOW_MODULE, app() + "/Contents/MacOS/"});
  if (cp.exitStatus != 0) ADD_FAILURE() << "cannot copy the installer: " << cp.err;
  writeFile(bundleZip(), "product archive");
}

void FixtureBundle::useExecutable(const std::string& path) {
  ProcessResult cp = runProcess({"cp", path, executable()});
  if (cp.exitStatus != 0) ADD_FAILURE() << "cannot copy the installer: " << cp.err;
}

void FixtureBundle::addAgentArchive(const std::string& name, const std::string& record, int exitStatus) {
  makeZip(resources() + "/" + name, {{"install", recordingAgentScript(record, exitStatus)}});
}

ProcessResult FixtureBundle::run(const std::vector<std::string>& args, ProcessOptions options) const {
  std::vector<std::string> argv = {executable()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, options);
}

}  // namespace testing_util
