// FTP operations and URL helpers through the C interface.

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/capi/Json.hpp"

using zembrel::Zembrel;
using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::capi::held;
using zembrel::capi::optionalText;
using zembrel::capi::text;

extern "C" {

int zembrel_ftp_upload(zembrel_handle* z, const char* local_path, const char* url) {
  if (z == nullptr) return 0;
  return guarded(0, [&] { return held(z)->uploadFile(text(local_path), text(url)) ? 1 : 0; });
}

void zembrel_ftp_cancel(zembrel_handle* z) {
  if (z == nullptr) return;
  guarded([&] { held(z)->cancelFTPOperation(); });
}

void zembrel_ftp_close(zembrel_handle* z) {
  if (z == nullptr) return;
  guarded([&] { held(z)->closeFTPConnection(); });
}

char* zembrel_ftp_list(zembrel_handle* z, const char* url, const char* level) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&]() -> char* {
    const zembrel::FtpLevel withLevel =
        level != nullptr ? zembrel::FtpLevel{std::string(level)} : zembrel::FtpLevel{};
    auto listing = held(z)->getDirectoryListFromURL(text(url), withLevel);
    return listing ? copyOut(zembrel::capi::listingJson(*listing)) : nullptr;
  });
}

char* zembrel_ftp_mkdir(zembrel_handle* z, const char* url) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr,
                        [&] { return copyOut(held(z)->createDirectoryWithURL(text(url))); });
}

char* zembrel_ftp_rmdir(zembrel_handle* z, const char* url) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr,
                        [&] { return copyOut(held(z)->removeDirectoryWithURL(text(url))); });
}

char* zembrel_url_base_path(const char* url) {
  return guarded<char*>(nullptr, [&] { return copyOut(Zembrel::basePathFromURLString(text(url))); });
}

char* zembrel_url_relative_path(const char* url) {
  return guarded<char*>(nullptr,
                        [&] { return copyOut(Zembrel::relativePathFromURLString(text(url))); });
}

char* zembrel_url_combine(const char* url, const char* path, const char* file_name, int is_file) {
  return guarded<char*>(nullptr, [&] {
    return copyOut(
        Zembrel::combineURL(text(url), text(path), optionalText(file_name), is_file != 0));
  });
}

char* zembrel_url_upload_destination(const char* url, const char* local_path) {
  return guarded<char*>(nullptr, [&] {
    return copyOut(Zembrel::uploadDestinationURL(text(url), text(local_path)));
  });
}

}  // extern "C"
