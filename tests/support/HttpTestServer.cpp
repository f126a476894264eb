#include "HttpTestServer.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <strings.h>

#include <algorithm>
#include <thread>

#include "TimeScale.hpp"

namespace zembrel::test {

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

HttpTestServer::HttpTestServer()
    : process_({"/usr/bin/python3", (serversDir() / "http_server.py").string(),
                records_.path().string()}) {}

std::string HttpTestServer::url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port()) + pathAndQuery;
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  // Numbered by arrival; one still being received has no record yet, and the
  // later ones are listed all the same.
  std::vector<int> indexes;
  for (const auto& entry : std::filesystem::directory_iterator(records_.path())) {
    if (entry.path().extension() == ".json") indexes.push_back(std::stoi(entry.path().stem()));
  }
  std::sort(indexes.begin(), indexes.end());
  std::vector<RecordedRequest> result;
  for (const int index : indexes) {
    auto json = records_.path() / (std::to_string(index) + ".json");
    auto record = nlohmann::json::parse(readFile(json));
    RecordedRequest request;
    request.method = record["method"];
    request.target = record["target"];
    for (auto& pair : record["headers"]) request.headers.emplace_back(pair[0], pair[1]);
    request.bodyLength = record["body_length"];
    request.bodySha256 = record["body_sha256"];
    request.complete = record["complete"];
    auto body = records_.path() / (std::to_string(index) + ".body");
    if (std::filesystem::exists(body)) request.body = readFile(body);
    result.push_back(std::move(request));
  }
  return result;
}

std::vector<RecordedRequest> HttpTestServer::waitForRequests(
    std::size_t count, std::chrono::milliseconds deadline) const {
  auto until = std::chrono::steady_clock::now() + scaled(deadline);
  auto seen = requests();
  while (seen.size() < count && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = requests();
  }
  return seen;
}

std::string RecordedRequest::boundary() const {
  const std::string type = header("Content-Type").value_or("");
  const std::string key = "multipart/form-data; boundary=";
  const std::string prefix = "0xKhTmLbOuNdArY";
  if (type.rfind(key, 0) != 0) {
    // A multipart body under another type (the caller's, or none): its first
    // line names the boundary.
    if (body.rfind("--" + prefix, 0) != 0) return std::string();
    std::string value = body.substr(2, body.find("\r\n") - 2);
    if (value.size() >= 2 && value.ends_with("--")) value.resize(value.size() - 2);
    return value;
  }
  const std::string value = type.substr(key.size());
  EXPECT_EQ(value.size(), prefix.size() + 32) << value;
  EXPECT_EQ(value.rfind(prefix, 0), 0u) << value;
  EXPECT_EQ(value.find_first_not_of("0123456789abcdef", prefix.size()), std::string::npos)
      << value;
  return value;
}

std::string RecordedRequest::withBoundary(std::string expected) const {
  const std::string token = kBoundaryToken;
  const std::string value = boundary();
  for (auto at = expected.find(token); at != std::string::npos;
       at = expected.find(token, at + value.size())) {
    expected.replace(at, token.size(), value);
  }
  return expected;
}

}  // namespace zembrel::test
