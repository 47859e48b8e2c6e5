// A bundle laid out as a vendor ships it, with a copy of the built installer,
// for tests that run the real executable.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace testing_util {

class FixtureBundle {
 public:
  // `root`/Setup.app/Contents/{MacOS/bootstrap-installer,Resources/bundle.zip}
  explicit FixtureBundle(const std::string& root);
  std::string app() const { return root_ + "/Setup.app"; }
  std::string executable() const { return app() + "/Contents/MacOS/bootstrap-installer"; }
  std::string resources() const { return app() + "/Contents/Resources"; }
  std::string bundleZip() const { return resources() + "/bundle.zip"; }

  // Puts another build of the installer in place.
  void useExecutable(const std::string& path);

  // An agent archive whose install script records its arguments at `record`.
  void addAgentArchive(const std::string& name, const std::string& record, int exitStatus = 0);

  // Runs the installer with these arguments (after the program name).
  ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) const;

 private:
  std::string root_;
};

}  // namespace testing_util
