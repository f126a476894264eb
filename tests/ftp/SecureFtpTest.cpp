// ftps://, ftpes:// and sftp:// through every FTP operation against real
// servers on 127.0.0.1 (pyftpdlib with TLS, a private sshd), and the trust
// checks: a certificate of an unknown CA, a server without TLS behind
// ftpes://, an unknown and a changed SSH host key each fail with nothing
// stored.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "FtpTestSupport.hpp"
#include "MainLoop.hpp"
#include "Requirements.hpp"
#include "ScopedEnvironment.hpp"
#include "Subprocess.hpp"
#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FtpTestServer;
using test::MessageRecorder;
using test::readFile;
using test::writeFile;

using ScopedEnv = test::ScopedEnvironment;

// Runs a helper program quietly; its exit status.
int quietly(const std::vector<std::string>& argv) {
  test::ChildOptions options;
  options.out = test::Output::discard;
  options.err = test::Output::discard;
  return test::runProgram(argv, options).status;
}

// The servers of the suite, started once: an FTP server with explicit TLS,
// one with implicit TLS, both with a certificate of a CA made here, and an
// sshd whose host key a private HOME's known_hosts lists (hashed).
struct Servers {
  test::ScopedTempDir certificates;
  test::ScopedTempDir home;  // HOME: .ssh/known_hosts and the client key
  std::unique_ptr<FtpTestServer> explicitTls;
  std::unique_ptr<FtpTestServer> implicitTls;
  test::ScopedTempDir sshDir;
  std::unique_ptr<test::ServerProcess> sshd;
  std::string sshSkipReason;

  Servers() {
    const fs::path dir = certificates.path();
    if (test::runProgram({(test::serversDir() / "make-test-ca").string(), dir.string()}).status !=
        0) {
      throw std::runtime_error("make-test-ca failed");
    }
    const std::vector<std::string> tls = {"--tls-cert", (dir / "server.pem").string(),
                                          "--tls-key", (dir / "server.key").string()};
    explicitTls = std::make_unique<FtpTestServer>(tls);
    auto implicitOptions = tls;
    implicitOptions.push_back("--implicit-tls");
    implicitTls = std::make_unique<FtpTestServer>(implicitOptions);
    fs::create_directories(home.path() / ".ssh");
    if (::geteuid() != 0) {
      sshSkipReason = "sshd needs root to log a user in";
    } else if (!fs::exists("/usr/sbin/sshd")) {
      sshSkipReason = "/usr/sbin/sshd is missing (openssh-server)";
    } else {
      try {
        sshd = std::make_unique<test::ServerProcess>(std::vector<std::string>{
            "/usr/bin/python3", (test::serversDir() / "sftp_server.py").string(),
            sshDir.path().string()});
      } catch (const std::exception& e) {
        sshSkipReason = std::string("the private sshd did not start: ") + e.what();
      }
    }
    if (sshd) {
      // The user's key under a name libcurl itself would not look for.
      fs::copy_file(sshDir.path() / "client_key", home.path() / ".ssh/id_ed25519");
      trustHostKey(sshDir.path() / "host_key.pub", true);
    }
  }

  // Writes known_hosts with `keyFile`'s key for the sshd's host and port,
  // hashed as ssh-keygen -H leaves it when asked.
  void trustHostKey(const fs::path& keyFile, bool hashed) const {
    std::string key = readFile(keyFile);
    key = key.substr(0, key.find(' ', key.find(' ') + 1));  // type and key, no comment
    const fs::path knownHosts = home.path() / ".ssh/known_hosts";
    writeFile(knownHosts, "[127.0.0.1]:" + std::to_string(sshd->port()) + " " + key + "\n");
    if (hashed) {
      ASSERT_EQ(quietly({"ssh-keygen", "-q", "-H", "-f", knownHosts.string()}), 0);
      fs::remove(knownHosts.string() + ".old");
      ASSERT_EQ(readFile(knownHosts).rfind("|1|", 0), 0u) << "known_hosts not hashed";
    }
  }
};

Servers* servers = nullptr;

class SecureFtp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!servers) servers = new Servers();
  }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }

  // The server's files, and the URL that leads to them, for a scheme.
  struct Target {
    fs::path root;
    std::string url;
  };
  Target target(const std::string& scheme) {
    if (scheme == "sftp") {
      if (!servers->sshd) return {};
      const fs::path root = servers->sshDir.path() / "root";
      return {root,
              "sftp://root@127.0.0.1:" + std::to_string(servers->sshd->port()) + root.string()};
    }
    const FtpTestServer& server = scheme == "ftps" ? *servers->implicitTls : *servers->explicitTls;
    std::string url = server.url();
    url.replace(0, 3, scheme);
    return {server.home(), url};
  }

  void SetUp() override {
    home_.emplace("HOME", servers->home.path().string());
    caFile_.emplace("SSL_CERT_FILE", (servers->certificates.path() / "ca.pem").string());
  }

  std::optional<ScopedEnv> home_;
  std::optional<ScopedEnv> caFile_;
};

// The final host message of one upload (or resumed upload) on a fresh instance.
std::string upload(const fs::path& file, const std::string& url, bool resume = false) {
  MessageRecorder recorder;
  std::weak_ptr<Zembrel> alive;
  {
    auto zembrel = Zembrel::initZembrel();
    alive = zembrel;
    const bool started = resume ? zembrel->resumeUploadFile(file.string(), url)
                                : zembrel->uploadFile(file.string(), url);
    if (!started) return "not started";
    if (!recorder.waitForFinal(30s)) return "no final message";
  }
  test::runMainContextUntil([&] { return alive.expired(); }, 10s);
  const auto finals = recorder.finals();
  return finals.size() == 1 ? finals[0].text : "finals: " + std::to_string(finals.size());
}

std::vector<std::string> namesOf(const std::vector<FtpEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name + (entry.directory ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

const FtpEntry* find(const std::vector<FtpEntry>& entries, const std::string& name) {
  for (const auto& entry : entries)
    if (entry.name == name) return &entry;
  return nullptr;
}

enum class Op { Upload, Resume, List, Mkdir, Rmdir };

class SchemeOperation : public SecureFtp,
                        public ::testing::WithParamInterface<std::tuple<const char*, Op>> {};

TEST_P(SchemeOperation, WorksAgainstTheRealServer) {
  const std::string scheme = std::get<0>(GetParam());
  const Op op = std::get<1>(GetParam());
  if (scheme == "sftp" && !servers->sshd) ZEMBREL_SKIP_WITHOUT("sshd", servers->sshSkipReason);
  const Target t = target(scheme);
  // Each case works in a folder of its own on the shared server.
  const std::string area = "case-" + std::to_string(static_cast<int>(op));
  fs::remove_all(t.root / area);
  fs::create_directories(t.root / area);
  test::ScopedTempDir local;
  auto zembrel = Zembrel::initZembrel();
  switch (op) {
    case Op::Upload: {
      // A missing folder is made; 300 KiB spans several blocks.
      const fs::path file = local.path() / "data.bin";
      test::writeRandomFile(file, 300 * 1024 + 7);
      EXPECT_EQ(upload(file, t.url + "/" + area + "/new/"), "#complete|226");
      EXPECT_TRUE(test::sameContents(file, t.root / area / "new/data.bin"));
      break;
    }
    case Op::Resume: {
      // An upload cut short goes on from the bytes the server holds.
      const fs::path file = local.path() / "data.bin";
      test::writeRandomFile(file, 300 * 1024 + 7);
      writeFile(t.root / area / "data.bin", readFile(file).substr(0, 100 * 1024 + 3));
      EXPECT_EQ(upload(file, t.url + "/" + area + "/", true), "#complete|226");
      EXPECT_TRUE(test::sameContents(file, t.root / area / "data.bin"));
      break;
    }
    case Op::List: {
      // Depth 2: the top, its folders and theirs; the third level unlisted.
      fs::create_directories(t.root / area / "a/b/c");
      writeFile(t.root / area / "a/b/file.txt", "x");
      writeFile(t.root / area / "a/top.txt", "y");
      auto listing = zembrel->getDirectoryListFromURL(t.url + "/" + area + "/", 2LL);
      ASSERT_TRUE(listing);
      EXPECT_EQ(listing->result.value_or("none"), "Transfer complete.|226");
      ASSERT_EQ(namesOf(listing->directories), std::vector<std::string>{"a/"});
      const FtpEntry& a = listing->directories[0];
      EXPECT_EQ(namesOf(a.children), (std::vector<std::string>{"b/", "top.txt"}));
      const FtpEntry* b = find(a.children, "b");
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(namesOf(b->children), (std::vector<std::string>{"c/", "file.txt"}));
      const FtpEntry* c = find(b->children, "c");
      ASSERT_NE(c, nullptr);
      EXPECT_TRUE(c->children.empty());
      break;
    }
    case Op::Mkdir: {
      // The URL path is escaped; the folder's name is not.
      auto result = zembrel->createDirectoryWithURL(t.url + "/" + area + "/new%20dir");
      ASSERT_TRUE(result);
      EXPECT_TRUE(result->ends_with("|257")) << *result;
      EXPECT_TRUE(fs::is_directory(t.root / area / "new dir"));
      break;
    }
    case Op::Rmdir: {
      fs::create_directories(t.root / area / "old");
      auto result = zembrel->removeDirectoryWithURL(t.url + "/" + area + "/old");
      ASSERT_TRUE(result);
      EXPECT_TRUE(result->ends_with("|250")) << *result;
      EXPECT_FALSE(fs::exists(t.root / area / "old"));
      // A second removal fails with the failure's code, never 250.
      auto again = zembrel->removeDirectoryWithURL(t.url + "/" + area + "/old");
      ASSERT_TRUE(again);
      EXPECT_FALSE(again->ends_with("|250")) << *again;
      break;
    }
  }
}

std::string opName(Op op) {
  switch (op) {
    case Op::Upload:
      return "Upload";
    case Op::Resume:
      return "Resume";
    case Op::List:
      return "ListDepth2";
    case Op::Mkdir:
      return "Mkdir";
    case Op::Rmdir:
      return "Rmdir";
  }
  return "";
}

INSTANTIATE_TEST_SUITE_P(
    AllSchemes, SchemeOperation,
    ::testing::Combine(::testing::Values("ftps", "ftpes", "sftp"),
                       ::testing::Values(Op::Upload, Op::Resume, Op::List, Op::Mkdir,
                                         Op::Rmdir)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param)) + "_" + opName(std::get<1>(info.param));
    });

// Each way in which the peer cannot be trusted, and what must follow: the
// upload fails with libcurl's code for it, a listing reports the same, and
// nothing reaches the server's folder.
struct TrustCase {
  const char* name;
  const char* scheme;
  enum Setup {
    OtherCa,
    PlainServer,
    UnknownHostKey,
    ChangedHostKey,
    RevokedHostKey,
    CertAuthorityKey
  } setup;
  int code;  // libcurl's result code in the messages
};

class Trust : public SecureFtp, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(Trust, IsRefusedAndNothingIsStored) {
  const TrustCase& c = GetParam();
  const bool ssh = std::string(c.scheme) == "sftp";
  if (ssh && !servers->sshd) ZEMBREL_SKIP_WITHOUT("sshd", servers->sshSkipReason);
  std::optional<ScopedEnv> otherCa;
  std::optional<FtpTestServer> plain;
  Target t = target(c.scheme);
  const fs::path knownHosts = servers->home.path() / ".ssh/known_hosts";
  const std::string trusted = ssh ? readFile(knownHosts) : "";
  switch (c.setup) {
    case TrustCase::OtherCa:
      otherCa.emplace("SSL_CERT_FILE", (servers->certificates.path() / "other-ca.pem").string());
      break;
    case TrustCase::PlainServer:
      plain.emplace();
      t = {plain->home(), "ftpes" + plain->url().substr(3)};
      break;
    case TrustCase::UnknownHostKey:
      writeFile(knownHosts, "");
      break;
    case TrustCase::ChangedHostKey: {
      // The host is listed, with some other server's key.
      test::ScopedTempDir other;
      ASSERT_EQ(quietly({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                         (other.path() / "k").string()}),
                0);
      servers->trustHostKey(other.path() / "k.pub", false);
      break;
    }
    case TrustCase::RevokedHostKey:
    case TrustCase::CertAuthorityKey: {
      // The key listed as it is, then marked on a line of its own.
      std::string key = readFile(servers->sshDir.path() / "host_key.pub");
      key = key.substr(0, key.find(' ', key.find(' ') + 1));
      const bool revoked = c.setup == TrustCase::RevokedHostKey;
      const std::string host = "[127.0.0.1]:" + std::to_string(servers->sshd->port());
      writeFile(knownHosts, (revoked ? host + " " + key + "\n@revoked * " : "@cert-authority " + host + " ") +
                                key + "\n");
      break;
    }
  }
  const std::string listed = ssh ? readFile(knownHosts) : "";
  test::ScopedTempDir local;
  const fs::path file = local.path() / "secret.txt";
  writeFile(file, "must not arrive");
  const std::string refused = "|" + std::to_string(c.code);
  const std::string message = upload(file, t.url + "/trust/");
  EXPECT_TRUE(message.starts_with("#error|") && message.ends_with(refused)) << message;
  auto listing = Zembrel::initZembrel()->getDirectoryListFromURL(t.url + "/", 0LL);
  ASSERT_TRUE(listing);
  EXPECT_TRUE(listing->result.value_or("").ends_with(refused)) << listing->result.value_or("");
  EXPECT_FALSE(fs::exists(t.root / "trust"));
  if (plain) {
    // Refused before the user name, let alone the password, went out.
    EXPECT_EQ(plain->count("CMD USER"), 0);
    EXPECT_EQ(plain->count("CMD PASS"), 0);
  }
  if (ssh) {
    EXPECT_EQ(readFile(knownHosts), listed) << "known_hosts must never be written";
    writeFile(knownHosts, trusted);
  }
}

// Through the environment's proxy, every scheme goes inside a tunnel: the proxy
// sees CONNECT alone, never an FTP request turned into HTTP with the password
// in its request line and the file in the clear.
class ThroughProxy : public SecureFtp, public ::testing::WithParamInterface<const char*> {};

TEST_P(ThroughProxy, GoesOnlyThroughATunnel) {
  const std::string scheme = GetParam();
  if (scheme == "sftp" && !servers->sshd) ZEMBREL_SKIP_WITHOUT("sshd", servers->sshSkipReason);
  std::optional<FtpTestServer> plain;
  Target t = target(scheme);
  if (scheme == "ftp") {
    plain.emplace();
    t = {plain->home(), plain->url()};
  }
  test::ScopedTempDir records;
  const fs::path stats = records.path() / "stats.json";
  test::ServerProcess proxy({"/usr/bin/python3", (test::serversDir() / "fault_proxy.py").string(),
                             "1", stats.string(), "--tunnel"});
  ScopedEnv ftpProxy("ftp_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
  ScopedEnv noProxy("no_proxy", "");
  ScopedEnv upperNoProxy("NO_PROXY", "");
  test::ScopedTempDir local;
  const fs::path file = local.path() / "proxied.bin";
  writeFile(file, "through the tunnel");
  fs::create_directories(t.root / "proxied");
  EXPECT_EQ(upload(file, t.url + "/proxied/"), "#complete|226");
  EXPECT_EQ(readFile(t.root / "proxied" / "proxied.bin"), "through the tunnel");
  const std::string seen = readFile(stats);
  EXPECT_NE(seen.find("\"CONNECT\""), std::string::npos) << seen;
  for (const char* leak : {"PUT", "GET", "secret", "ftp://"})
    EXPECT_EQ(seen.find(leak), std::string::npos) << leak << " in " << seen;
}

INSTANTIATE_TEST_SUITE_P(Schemes, ThroughProxy,
                         ::testing::Values("ftp", "ftpes", "ftps", "sftp"));

INSTANTIATE_TEST_SUITE_P(
    Cases, Trust,
    ::testing::Values(TrustCase{"FtpsOtherCa", "ftps", TrustCase::OtherCa, 60},
                      TrustCase{"FtpesOtherCa", "ftpes", TrustCase::OtherCa, 60},
                      TrustCase{"FtpesPlainServer", "ftpes", TrustCase::PlainServer, 64},
                      TrustCase{"SftpUnknownHostKey", "sftp", TrustCase::UnknownHostKey, 60},
                      TrustCase{"SftpChangedHostKey", "sftp", TrustCase::ChangedHostKey, 60},
                      TrustCase{"SftpRevokedHostKey", "sftp", TrustCase::RevokedHostKey, 60},
                      TrustCase{"SftpCertAuthorityKey", "sftp", TrustCase::CertAuthorityKey, 60}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
