// The pieces of resumable uploads that need no server: reading answers,
// building requests, the kept state on disk and the file slices.

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ServerProcess.hpp"
#include "zembrel/http/FileSlice.hpp"
#include "zembrel/http/ResumableProtocol.hpp"
#include "zembrel/http/ResumeStore.hpp"

namespace zembrel::detail {
namespace {

TEST(ResumableProtocol, ByteCountsAreStrictDecimals) {
  const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
      {"0", 0},
      {"00012", 12},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},  // past 63 bits
      {"99999999999999999999", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 2", std::nullopt},
      {"1a", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseByteCount(text), expected) << text;
  EXPECT_EQ(parseByteCount(std::nullopt), std::nullopt);
  EXPECT_EQ(parseStructuredBoolean("?1"), true);
  EXPECT_EQ(parseStructuredBoolean("?0"), false);
  EXPECT_EQ(parseStructuredBoolean("1"), std::nullopt);
  EXPECT_EQ(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(parseHttpDate("yesterday"), std::nullopt);
}

struct ProbeCase {
  const char* name;
  int status;
  const char* fields;
  ResumableDialect dialect;
  bool creationWithUpload;
  bool termination;
  bool refused;
  std::optional<std::int64_t> maxSize;
  std::optional<std::int64_t> maxAppendSize;
};

TEST(ResumableProtocol, ProbeAnswerChoosesDialectAndExtensions) {
  using D = ResumableDialect;
  const std::vector<ProbeCase> cases = {
      {"tus with extensions", 204,
       "Tus-Version: 1.0.0,0.2.2\r\ntus-extension: creation, creation-with-upload,termination\r\n"
       "Tus-Max-Size: 1000\r\n",
       D::Tus, true, true, false, 1000, std::nullopt},
      {"tus, creation only", 204, "Tus-Version: 1.0.0\r\nTus-Extension: creation\r\n", D::Tus,
       false, false, false, std::nullopt, std::nullopt},
      {"tus without our version", 204, "Tus-Version: 0.2.2\r\n", D::Tus, false, false, true,
       std::nullopt, std::nullopt},
      {"draft with limits", 204,
       "Upload-Draft-Interop-Version: 8\r\nUpload-Limit: max-size=5000, max-append-size=100, "
       "future-key=?1\r\n",
       D::IetfDraft, false, true, false, 5000, 100},
      {"draft, limit of the wrong type", 204,
       "Upload-Draft-Interop-Version: 8\r\nUpload-Limit: max-size=abc, max-append-size=100\r\n",
       D::IetfDraft, false, true, false, std::nullopt, std::nullopt},
      {"draft of another interop version", 204, "Upload-Draft-Interop-Version: 7\r\n", D::Tus,
       false, false, false, std::nullopt, std::nullopt},
      {"no OPTIONS at all", 405, "Tus-Extension: termination\r\n", D::Tus, false, false, false,
       std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string head = std::string("HTTP/1.1 ") + std::to_string(c.status) + " X\r\n" +
                             c.fields + "\r\n";
    const ServerCapabilities caps = capabilitiesFromProbe(ResponseHead(c.status, head));
    EXPECT_EQ(caps.dialect, c.dialect);
    EXPECT_EQ(caps.creationWithUpload, c.creationWithUpload);
    EXPECT_EQ(caps.termination, c.termination);
    EXPECT_EQ(caps.tusVersionRefused, c.refused);
    EXPECT_EQ(caps.maxSize, c.maxSize);
    EXPECT_EQ(caps.maxAppendSize, c.maxAppendSize);
  }
}

TEST(ResumableProtocol, MetadataIsBase64AndNamesAreChecked) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const std::vector<std::pair<Pairs, std::optional<std::string>>> cases = {
      {{}, ""},
      {{{"a", "a"}}, "a YQ=="},
      {{{"a", "ab"}}, "a YWI="},
      {{{"filename", "abc"}, {"empty", ""}}, "filename YWJj,empty"},
      {{{"n", "\xc3\xa9t\xc3\xa9"}}, "n w6l0w6k="},  // UTF-8 goes as its bytes
      {{{"", "x"}}, std::nullopt},
      {{{"a b", "x"}}, std::nullopt},
      {{{"a,b", "x"}}, std::nullopt},
      {{{"caf\xc3\xa9", "x"}}, std::nullopt},
      {{{"a", "1"}, {"a", "2"}}, std::nullopt},
  };
  for (const auto& [pairs, expected] : cases) EXPECT_EQ(tusMetadataValue(pairs), expected);
}

TEST(ResumableProtocol, ProtocolFieldsReplaceTheCallers) {
  HeaderFields caller;
  caller.set("Authorization", "Bearer t");
  caller.set("tus-resumable", "0.2.2");
  caller.set("Upload-Offset", "999");
  const auto tus = appendFields(ResumableDialect::Tus, caller, 42, true).fields();
  const std::vector<HeaderFields::Field> expectedTus = {
      {"Authorization", "Bearer t"},
      {"tus-resumable", "1.0.0"},
      {"Upload-Offset", "42"},
      {"Content-Type", "application/offset+octet-stream"}};
  EXPECT_EQ(tus, expectedTus);

  const auto draft = creationFields(ResumableDialect::IetfDraft, {}, 10, std::nullopt,
                                    std::string("a \"b\".mp4"), 0, false)
                         .fields();
  const std::vector<HeaderFields::Field> expectedDraft = {
      {"Upload-Draft-Interop-Version", "8"},
      {"Upload-Length", "10"},
      {"Upload-Complete", "?0"},
      {"Content-Disposition",
       "inline; filename=\"a %22b%22.mp4\"; filename*=UTF-8''a%20%22b%22.mp4"}};
  EXPECT_EQ(draft, expectedDraft);
}

class ResumeStoreTest : public ::testing::Test {
 protected:
  ResumeEntry entryFor(std::string path, std::int64_t expiresAt) const {
    ResumeEntry entry;
    entry.filePath = std::move(path);
    entry.file = {12345, 1700000000123456789, 1700000000223456789, 2049, 1234567,
                  std::string(64, 'a')};
    entry.endpoint = "https://example.invalid/files";
    entry.uploadUrl = "https://example.invalid/files/abc?token=%41";
    entry.dialect = ResumableDialect::IetfDraft;
    entry.expiresAt = expiresAt;
    return entry;
  }
  test::ScopedTempDir dir_;
  ResumeStore store_{dir_.path() / "zembrel" / "uploads"};
};

TEST_F(ResumeStoreTest, KeepsEntriesWholeAndForOneFileAndEndpoint) {
  // Any byte may stand in a path, line breaks and "%" included.
  const ResumeEntry entry = entryFor("/home/u/odd\nname 100%.mp4", 2000);
  ASSERT_TRUE(store_.save(entry));
  const auto found = store_.find(entry.filePath, entry.endpoint);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->sameUpload(entry));
  EXPECT_EQ(found->uploadUrl, entry.uploadUrl);
  EXPECT_EQ(found->dialect, entry.dialect);
  EXPECT_EQ(found->expiresAt, 2000);
  EXPECT_FALSE(store_.find(entry.filePath, entry.endpoint + "/other"));

  // Saved again: replaced, and no temporary file stays behind.
  ResumeEntry newer = entry;
  newer.file.modifiedNs += 1;
  ASSERT_TRUE(store_.save(newer));
  EXPECT_FALSE(store_.find(entry.filePath, entry.endpoint)->sameUpload(entry));
  int files = 0;
  for ([[maybe_unused]] const auto& item :
       std::filesystem::directory_iterator(dir_.path() / "zembrel" / "uploads"))
    ++files;
  EXPECT_EQ(files, 1);
  EXPECT_EQ(std::filesystem::status(dir_.path() / "zembrel" / "uploads").permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  store_.remove(entry.filePath, entry.endpoint);
  EXPECT_FALSE(store_.find(entry.filePath, entry.endpoint));
}

TEST_F(ResumeStoreTest, ExpiredAndUnreadableEntriesAreRemoved) {
  ASSERT_TRUE(store_.save(entryFor("/a", 999)));
  ASSERT_TRUE(store_.save(entryFor("/b", 1000)));
  ASSERT_TRUE(store_.save(entryFor("/c", 5000)));
  test::writeFile(store_.entryPath("/d", "x"), "zembrel-resume 1\nfile=/d\n");  // cut short
  EXPECT_EQ(store_.removeExpired(1000), 2);
  EXPECT_FALSE(store_.find("/a", "https://example.invalid/files"));
  EXPECT_TRUE(store_.find("/b", "https://example.invalid/files"));
  EXPECT_TRUE(store_.find("/c", "https://example.invalid/files"));
  EXPECT_FALSE(std::filesystem::exists(store_.entryPath("/d", "x")));
}

// State that another local user could have planted or changed is not used:
// it could send the upload, and its credentials, where they chose.
TEST_F(ResumeStoreTest, IgnoresStateOthersCouldHaveTouched) {
  namespace fs = std::filesystem;
  const passwd* nobody = ::getpwnam("nobody");
  struct Case {
    const char* why;
    bool needsRoot;  // to give a file away
    std::function<void(const fs::path& folder, const fs::path& entry)> spoil;
  };
  const uid_t other = nobody ? nobody->pw_uid : 65534;
  const std::vector<Case> cases = {
      {"entry of another user", true,
       [&](const fs::path&, const fs::path& entry) { ASSERT_EQ(::chown(entry.c_str(), other, -1), 0); }},
      {"entry others may write", false,
       [](const fs::path&, const fs::path& entry) { fs::permissions(entry, fs::perms(0666)); }},
      {"folder of another user", true,
       [&](const fs::path& folder, const fs::path&) { ASSERT_EQ(::chown(folder.c_str(), other, -1), 0); }},
      {"folder open to the group", false,
       [](const fs::path& folder, const fs::path&) { fs::permissions(folder, fs::perms(0770)); }},
      {"parent of another user", true,
       [&](const fs::path& folder, const fs::path&) {
         ASSERT_EQ(::chown(folder.parent_path().c_str(), other, -1), 0);
       }},
      {"folder is a link", false,
       [](const fs::path& folder, const fs::path&) {
         fs::rename(folder, folder.string() + ".real");
         fs::create_directory_symlink(folder.filename().string() + ".real", folder);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.needsRoot && ::geteuid() != 0) continue;
    test::ScopedTempDir dir;
    const fs::path folder = dir.path() / "zembrel" / "uploads";
    ResumeStore store(folder);
    const ResumeEntry entry = entryFor("/a", 5000);
    ASSERT_TRUE(store.save(entry));
    ASSERT_TRUE(store.find(entry.filePath, entry.endpoint));
    c.spoil(folder, store.entryPath(entry.filePath, entry.endpoint));
    EXPECT_FALSE(store.find(entry.filePath, entry.endpoint));
  }
  // A parent of the user's own that the group may write (a umask of 002) is
  // made private, not given up.
  test::ScopedTempDir dir;
  ResumeStore store(dir.path() / "zembrel" / "uploads");
  const ResumeEntry entry = entryFor("/a", 5000);
  ASSERT_TRUE(store.save(entry));
  fs::permissions(dir.path() / "zembrel", fs::perms(0775));
  EXPECT_TRUE(store.find(entry.filePath, entry.endpoint));
  EXPECT_EQ(fs::status(dir.path() / "zembrel").permissions(), fs::perms(0755));
}

TEST(FileSliceBody, SendsItsStretchAndFailsOnAChangedFile) {
  test::ScopedTempDir dir;
  const auto path = dir.path() / "f";
  test::writeFile(path, "0123456789");
  auto readAll = [](FileSliceBody& body) {
    std::string out;
    char buffer[3];
    for (;;) {
      const auto count = body.read(buffer, sizeof buffer);
      if (count <= 0) return count < 0 ? std::optional<std::string>() : out;
      out.append(buffer, static_cast<std::size_t>(count));
    }
  };
  auto file = std::make_shared<File>(File::openForReading(path));
  FileSliceBody middle(file, 2, 5);
  EXPECT_EQ(readAll(middle), "23456");
  FileSliceBody tail(file, 6, 4);
  EXPECT_EQ(readAll(tail), "6789");

  // Grown: the last byte read finds another size. Shrunk: the file ends early.
  test::writeFile(path, "0123456789ab");
  FileSliceBody grown(file, 6, 4);
  EXPECT_EQ(readAll(grown), std::nullopt);
  EXPECT_TRUE(grown.failed());
  EXPECT_EQ(grown.failureErrno(), 0);
  std::filesystem::resize_file(path, 7);
  FileSliceBody shrunk(file, 6, 4);
  EXPECT_EQ(readAll(shrunk), std::nullopt);
  EXPECT_EQ(shrunk.failureErrno(), 0);
}

}  // namespace
}  // namespace zembrel::detail
