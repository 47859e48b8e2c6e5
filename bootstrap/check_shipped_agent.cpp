// Run by the build before it assembles a bundle that ships an agent, with
// the keys and the floor the installer is built with: what a user's
// installer would refuse fails the build instead, in the words the user
// would have seen, followed by the command that fixes it.
//
//   check-shipped-agent <InstallAgent.zip as shipped> <INSTALLER_AGENT_ARCHIVE> <build directory>
//
// The shipped copy's signature, if any, lies beside it as InstallAgent.zip.minisig.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "hostenv/report.h"
#include "platform/file_manager.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"

namespace {

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void say(const std::string& line) { report_error_main(line, true); }

// Why the installer would not run the shipped archive: the same gate.
GateStatus untrusted(const std::string& shipped) {
  int fd = open(shipped.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {GateCode::Unreadable, "cannot open it"};
  GateStatus admitted = admitShippedArchive(fd, shipped, installAgentZipName);
  close(fd);
  return admitted;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    say("usage: check-shipped-agent <shipped InstallAgent.zip> <INSTALLER_AGENT_ARCHIVE> <build directory>");
    return 2;
  }
  const std::string shipped = argv[1], archive = argv[2], build = argv[3];

  if (signaturesRequired()) {
    GateStatus admitted = untrusted(shipped);
    if (!admitted) {
      say("The install agent " + shipped + " cannot be trusted: " + admitted.message());
      if (admitted.code() == GateCode::UnknownKey) say("Sign it with the secret key of one of INSTALLER_PUBLIC_KEYS.");
      if (admitted.code() == GateCode::BelowBuildFloor)
        say("Sign it again (a new timestamp), or build with INSTALLER_MIN_AGENT_TIMESTAMP no later than its "
            "timestamp (" + std::to_string(buildFloor().build) + " now).");
      say("The bundle ships INSTALLER_AGENT_ARCHIVE as " + installAgentZipName +
          ", so its signature must be made for that name. To fix:");
      say("  cp " + quoted(archive) + " " + installAgentZipName + " && minisign -S -s <your secret key> -m " +
          installAgentZipName);
      say("  cmake " + quoted(build) + " -DINSTALLER_AGENT_SIGNATURE=\"$PWD/" + installAgentZipName +
          ".minisig\"");
      say("  cmake --build " + quoted(build) + " --target bundle");
      return 1;
    }
  }

  // Unpacked as the installer unpacks it, to see what its top level holds.
  std::string unpacked = shipped + ".unpacked";
  platform::removeItemAtPath(unpacked);
  UnzipStatus unzipped = unpackAgentArchive(shipped, unpacked, report_error_main);
  platform::removeItemAtPath(unpacked);
  if (!unzipped && unzipped.code() != UnzipCode::NoInstallScript) {
    say("INSTALLER_AGENT_ARCHIVE " + archive + " cannot be unpacked; the installer would fail the same way.");
    return 1;
  }
  if (!unzipped) {
    say(unzipped.message());
    say("Zip the agent's folder from inside, so that install is at the top: (cd <agent folder> && zip -qr "
        "../agent.zip .)");
    return 1;
  }
  return 0;
}
