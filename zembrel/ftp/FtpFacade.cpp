// Zembrel's FTP methods: each forwards to the instance's FTP client and holds
// a reference to it for the whole call.

#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/FtpClient.hpp"

namespace zembrel {

bool Zembrel::uploadFile(const std::string& localPath, const std::string& toURL) {
  return std::shared_ptr(ftp_)->startUpload(shared_from_this(), localPath, toURL, false);
}

bool Zembrel::resumeUploadFile(const std::string& localPath, const std::string& toURL) {
  return std::shared_ptr(ftp_)->startUpload(shared_from_this(), localPath, toURL, true);
}

void Zembrel::cancelFTPOperation() { std::shared_ptr(ftp_)->stop(false); }

void Zembrel::closeFTPConnection() { std::shared_ptr(ftp_)->stop(true); }

std::optional<ListingResult> Zembrel::getDirectoryListFromURL(const std::string& url,
                                                              const FtpLevel& withLevel) {
  return std::shared_ptr(ftp_)->listTree(url, withLevel);
}

std::optional<std::string> Zembrel::createDirectoryWithURL(const std::string& url) {
  return std::shared_ptr(ftp_)->directoryCommand(url, true);
}

std::optional<std::string> Zembrel::removeDirectoryWithURL(const std::string& url) {
  return std::shared_ptr(ftp_)->directoryCommand(url, false);
}

}  // namespace zembrel
