#include "HostMessagePump.hpp"

#include <glib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>

#include "zembrel/HostMessages.hpp"

namespace zembrel::cli {
namespace {

std::string humanBytes(double bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

bool isFinalMessage(const std::string& message) {
  const auto parsed = parseHostMessage(message);
  return parsed && parsed->isFinal();
}

int httpExitStatus(const std::string& finalMessage) {
  const auto parsed = parseHostMessage(finalMessage);
  if (!parsed || !parsed->succeeded()) return 1;
  return parsed->value < 400 ? 0 : 1;
}

int completedExitStatus(const std::string& finalMessage) {
  const auto parsed = parseHostMessage(finalMessage);
  return parsed && parsed->succeeded() ? 0 : 1;
}

struct HostMessagePump::State {
  std::mutex mutex;  // progress comes from worker threads, the final message from main
  std::atomic<bool> done{false};
  std::string finalMessage;
  std::optional<std::int64_t> total;
  bool drawBar = false;
  bool barShown = false;
  // The first progress value and when it came: what was done by then (all
  // that a resumed upload had sent before) shows as done, and the rate
  // counts only what follows.
  std::optional<double> baseline;
  std::chrono::steady_clock::time_point baselineAt;

  void onMessage(std::string_view text) {
    std::lock_guard lock(mutex);
    std::string message(text);
    if (barShown) {
      std::fputs("\r\033[K", stderr);
      barShown = false;
    }
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    const auto parsed = parseHostMessage(message);
    if (parsed && parsed->kind == HostMessage::Kind::Progress && drawBar)
      drawProgress(static_cast<double>(parsed->value));
    if (parsed && parsed->isFinal()) {
      finalMessage = message;
      done = true;
      g_main_context_wakeup(g_main_context_default());
    }
  }

  void drawProgress(double sent) {
    const auto now = std::chrono::steady_clock::now();
    if (!baseline) {
      baseline = sent;
      baselineAt = now;
    }
    double rate = 0;
    if (now > baselineAt) {
      rate = (sent - *baseline) / std::chrono::duration<double>(now - baselineAt).count();
    }
    const double all = static_cast<double>(*total);
    const double fraction = all > 0 ? std::min(1.0, sent / all) : 1.0;
    const int width = 30;
    const int filled = static_cast<int>(fraction * width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    std::string left = "--";
    if (rate > 0 && all > sent) {
      char text[32];
      std::snprintf(text, sizeof text, "%.0fs", (all - sent) / rate);
      left = text;
    }
    std::fprintf(stderr, "\r[%s] %3.0f%% %s of %s, %s/s, %s left", bar.c_str(), fraction * 100,
                 humanBytes(sent).c_str(), humanBytes(all).c_str(), humanBytes(rate).c_str(),
                 left.c_str());
    std::fflush(stderr);
    barShown = true;
  }
};

HostMessagePump::HostMessagePump(std::optional<std::int64_t> totalBytes)
    : state_(std::make_unique<State>()) {
  state_->total = totalBytes;
  state_->drawBar = totalBytes.has_value() && ::isatty(STDERR_FILENO);
  State* state = state_.get();
  setHostMessageHandler([state](std::string_view message) { state->onMessage(message); });
}

HostMessagePump::~HostMessagePump() {
  setHostMessageHandler(nullptr);
  if (state_->barShown) std::fputs("\r\033[K", stderr);
}

std::string HostMessagePump::runUntilFinal() {
  while (!state_->done) g_main_context_iteration(g_main_context_default(), TRUE);
  std::lock_guard lock(state_->mutex);
  return state_->finalMessage;
}

}  // namespace zembrel::cli
