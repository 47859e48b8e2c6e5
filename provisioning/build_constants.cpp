#include "provisioning/build_constants.h"

#include <sstream>

#include "installer_config.h"

// From the executable's own file, with its keys (installer_settings.cpp).
extern const char* const kInstallerDownloadBase;
extern const char* const kInstallerDownloadMirrors;

// Defined in dependency order: the composed names use the ones above them.
const std::string releaseName = INSTALLER_RELEASE_NAME;
const std::string archName = INSTALLER_ARCH_NAME;
const std::string cacheFolderName = INSTALLER_CACHE_FOLDER;
const std::string installAgentZipName = "InstallAgent.zip";
const std::string installAgentFileName = "pi_install_agent_pi_" + releaseName + "_" + archName;
const std::string installAgentUrl = kInstallerDownloadBase + installAgentFileName;
const std::string installAgentDirName = "installagent";
const std::string installAgentCacheSubdir = std::string(INSTALLER_CACHE_FOLDER) + pathSeparator +
                                            installAgentDirName + pathSeparator + releaseName +
                                            pathSeparator + archName + pathSeparator;
const std::string validationFileName = ".validatestring";
const std::string windowTitle = INSTALLER_WINDOW_TITLE;
const unsigned long long maxUnpackedBytes = INSTALLER_MAX_UNPACKED_BYTES;
const unsigned long long maxArchiveEntries = INSTALLER_MAX_ARCHIVE_ENTRIES;
const int downloadRetries = INSTALLER_DOWNLOAD_RETRIES;
const double retryBaseSeconds = INSTALLER_RETRY_BASE_SECONDS;
const unsigned long long maxArchiveBytes = INSTALLER_MAX_ARCHIVE_BYTES;
const int maxArchiveRequests = INSTALLER_MAX_REQUESTS;
const double downloadDeadlineSeconds = INSTALLER_DOWNLOAD_DEADLINE_SECONDS;
const std::string productToken = INSTALLER_PRODUCT_TOKEN;
const std::string userAgent =
    productToken + "/" + releaseName + " (" + archName + ") bootstrap-installer/" + INSTALLER_VERSION;

std::vector<std::string> installAgentMirrorUrls() {
  std::vector<std::string> urls;
  std::istringstream bases(kInstallerDownloadMirrors);
  for (std::string base; bases >> base;) urls.push_back(base + installAgentFileName);
  return urls;
}
