#include "ResumableFixtures.hpp"

#include <glib.h>

#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>

namespace zembrel::test {
namespace {

std::vector<std::string> tusServerCommand(const std::filesystem::path& store,
                                          const std::filesystem::path& log,
                                          const std::vector<std::string>& options) {
  if (!std::filesystem::exists(serversDir() / "node_modules" / "@tus" / "server"))
    throw std::runtime_error(
        "the tus server's npm packages are missing: run scripts/test, or "
        "npm ci --prefix tests/servers --omit=optional");
  std::vector<std::string> argv{"/usr/bin/node", (serversDir() / "tus_server.js").string(),
                                store.string(), "--log", log.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

std::vector<std::string> proxyCommand(int upstreamPort, const std::filesystem::path& stats,
                                      const std::vector<std::string>& options) {
  std::vector<std::string> argv{"/usr/bin/python3", (serversDir() / "fault_proxy.py").string(),
                                std::to_string(upstreamPort), stats.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

}  // namespace

TusServer::TusServer(const std::vector<std::string>& options)
    : store_(dir_.path() / "store"),
      process_(tusServerCommand(store_, dir_.path() / "requests.log", options)) {}

std::string TusServer::endpoint() const {
  return "http://127.0.0.1:" + std::to_string(port()) + "/files";
}

std::vector<nlohmann::json> TusServer::log() const {
  std::vector<nlohmann::json> lines;
  std::ifstream in(dir_.path() / "requests.log");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

std::optional<std::string> TusServer::stored(const std::string& uploadUrl) const {
  const std::string id = uploadUrl.substr(uploadUrl.rfind('/') + 1);
  const std::filesystem::path path = store_ / id;
  if (id.empty() || !std::filesystem::exists(path)) return std::nullopt;
  return readFile(path);
}

std::optional<std::string> TusServer::lastUrlOf(const std::string& method) const {
  std::optional<std::string> url;
  for (const auto& line : log()) {
    if (line["method"] == method) url = line["url"].get<std::string>();
  }
  return url;
}

FaultProxy::FaultProxy(int upstreamPort, const std::vector<std::string>& options)
    : process_(proxyCommand(upstreamPort, dir_.path() / "stats.json", options)) {}

std::string FaultProxy::endpoint() const {
  return "http://127.0.0.1:" + std::to_string(process_.port()) + "/files";
}

nlohmann::json FaultProxy::stats() const {
  return nlohmann::json::parse(readFile(dir_.path() / "stats.json"));
}

int keptEntries(const std::filesystem::path& stateHome) {
  const std::filesystem::path folder = stateHome / "zembrel" / "uploads";
  int count = 0;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
    if (item.path().extension() == ".entry") ++count;
  }
  return count;
}

std::string sha256Hex(const std::string& bytes) {
  std::unique_ptr<gchar, decltype(&g_free)> hex(
      g_compute_checksum_for_data(G_CHECKSUM_SHA256,
                                  reinterpret_cast<const guchar*>(bytes.data()), bytes.size()),
      &g_free);
  return hex.get();
}

std::string patternedBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

}  // namespace zembrel::test
