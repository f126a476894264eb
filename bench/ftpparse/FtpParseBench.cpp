// Throughput of ftpparse over generated listings (UNIX and MS-DOS lines, and
// an SFTP `ls -l` listing of 100,000 entries), against a bare pass that only
// finds the line ends over the same bytes. Prints the least thread CPU time
// of alternating runs and whether the targets are met; see ./run.

#include <time.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zembrel/FtpParse.hpp"

namespace {

struct Random {
  std::uint64_t state;
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string name(Random& rng) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789_-";
  std::string s;
  const int n = 4 + rng.below(16);
  for (int k = 0; k < n; ++k) s += kChars[rng.below(sizeof kChars - 1)];
  if (rng.below(2) == 0) s += ".txt";
  return s;
}

std::string unixListing(int lines, Random& rng) {
  std::string out;
  char buf[256];
  for (int i = 0; i < lines; ++i) {
    const int kind = rng.below(10);
    const char* perms = kind == 0 ? "drwxr-xr-x" : kind == 1 ? "lrwxrwxrwx" : "-rw-r--r--";
    const std::string n = name(rng);
    const int size = rng.below(10'000'000);
    const char* month = kMonths[rng.below(12)];
    const int day = 1 + rng.below(28);
    int len = 0;
    if (rng.below(2) == 0) {
      len = std::snprintf(buf, sizeof buf, "%s %3d owner    group %10d %s %2d %02d:%02d %s", perms,
                          1 + rng.below(9), size, month, day, rng.below(24), rng.below(60),
                          n.c_str());
    } else {
      len = std::snprintf(buf, sizeof buf, "%s %3d owner    group %10d %s %2d  %4d %s", perms,
                          1 + rng.below(9), size, month, day, 1995 + rng.below(30), n.c_str());
    }
    out.append(buf, static_cast<std::size_t>(len));
    if (kind == 1) out += " -> ../target/" + n;
    out += '\n';
  }
  return out;
}

std::string msDosListing(int lines, Random& rng) {
  std::string out;
  char buf[256];
  for (int i = 0; i < lines; ++i) {
    const std::string n = name(rng);
    char column[32];
    if (rng.below(10) == 0) {
      std::snprintf(column, sizeof column, "%-14s", "<DIR>");
    } else {
      std::snprintf(column, sizeof column, "%14d", rng.below(100'000'000));
    }
    const int len =
        std::snprintf(buf, sizeof buf, "%02d-%02d-%02d  %02d:%02d%s %s %s", 1 + rng.below(12),
                      1 + rng.below(28), rng.below(100), 1 + rng.below(12), rng.below(60),
                      rng.below(2) ? "AM" : "PM", column, n.c_str());
    out.append(buf, static_cast<std::size_t>(len));
    out += '\n';
  }
  return out;
}

// An SFTP directory listing as servers give it in `ls -l` form: "." and
// "..", then entries whose owner and group are often numeric, one-digit
// days padded with a space, times for this year and years for older ones.
std::string sftpListing(int lines, Random& rng) {
  std::string out =
      "drwxr-xr-x    5 1000     1000         4096 Dec  6 09:12 .\n"
      "drwxr-xr-x   12 0        0            4096 Nov 30 18:40 ..\n";
  static const char* kOwners[] = {"1000    ", "alice   ", "33      ", "backup  "};
  char buf[256];
  for (int i = 2; i < lines; ++i) {
    const int kind = rng.below(20);
    const char* perms = kind < 3 ? "drwxr-xr-x" : kind == 3 ? "lrwxrwxrwx" : "-rw-rw-r--";
    const std::string n = name(rng);
    const char* owner = kOwners[rng.below(4)];
    const long long size = kind < 3 ? 4096 : static_cast<long long>(rng.next() % 5'000'000'000ull);
    const char* month = kMonths[rng.below(12)];
    const int day = 1 + rng.below(31);
    int len = 0;
    if (rng.below(3) != 0) {
      len = std::snprintf(buf, sizeof buf, "%s %4d %s %s %12lld %s %2d %02d:%02d %s", perms,
                          1 + rng.below(40), owner, owner, size, month, day, rng.below(24),
                          rng.below(60), n.c_str());
    } else {
      len = std::snprintf(buf, sizeof buf, "%s %4d %s %s %12lld %s %2d  %4d %s", perms,
                          1 + rng.below(40), owner, owner, size, month, day, 1998 + rng.below(28),
                          n.c_str());
    }
    out.append(buf, static_cast<std::size_t>(len));
    if (kind == 3) out += " -> /srv/data/" + n;
    out += '\n';
  }
  return out;
}

// Finds every line end and nothing else.
std::uint64_t barePass(const std::string& text) {
  std::uint64_t sum = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (nl == nullptr) nl = end;
    sum += static_cast<std::uint64_t>(nl - p);
    p = nl + 1;
  }
  return sum;
}

// Finds every line end and parses the line, as a listing callback does.
std::uint64_t parsePass(const std::string& text, std::uint64_t& accepted) {
  std::uint64_t sum = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  zembrel::ftplistresult r;
  while (p < end) {
    const char* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (nl == nullptr) nl = end;
    if (zembrel::ftpparse(&r, p, static_cast<int>(nl - p)) == 1) {
      ++accepted;
      sum += static_cast<std::uint64_t>(r.namelength) + static_cast<std::uint64_t>(r.size) +
             static_cast<std::uint64_t>(r.modtime) + static_cast<std::uint64_t>(r.flagmaybedir);
    }
    p = nl + 1;
  }
  return sum;
}

// CPU time of this thread: the machine is shared, and wall time would count
// the stretches in which other processes had the core.
double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

volatile std::uint64_t sink;

// Prints the figures of one listing; with `targets`, also whether the parser
// meets them there: at most 5x the bare pass and at least 1 GB/s. True when
// met (or not asked).
bool measure(const char* label, const std::string& text, int lines, int rounds, bool targets) {
  std::vector<double> bare;
  std::vector<double> parse;
  std::uint64_t accepted = 0;
  for (int round = 0; round < rounds; ++round) {  // alternate so both see the same machine
    double start = cpuSeconds();
    sink = barePass(text);
    bare.push_back(cpuSeconds() - start);
    accepted = 0;
    start = cpuSeconds();
    sink = parsePass(text, accepted);
    parse.push_back(cpuSeconds() - start);
  }
  const double b = least(bare);
  const double p = least(parse);
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf(
      "%-8s %9d lines %7.1f MB  accepted %9llu | parse %7.1f ms %8.1f MB/s %6.2f M lines/s"
      " | bare pass %6.1f ms %8.1f MB/s | parse/bare %5.2fx\n",
      label, lines, mb, static_cast<unsigned long long>(accepted), p * 1e3, mb / p, lines / p / 1e6,
      b * 1e3, mb / b, p / b);
  if (!targets) return true;
  const bool met = p / b <= 5.0 && mb / p >= 1000.0;
  std::printf("targets, %s: parse %.2fx the bare pass (<= 5x), %.0f MB/s (>= 1000): %s\n", label,
              p / b, mb / p, met ? "met" : "MISSED");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 11;
  Random rng{20261206};
  const std::string unixText = unixListing(lines, rng);
  const std::string dosText = msDosListing(lines, rng);
  std::printf("least thread CPU time of %d alternating rounds\n", rounds);
  measure("UNIX", unixText, lines, rounds, false);
  measure("MS-DOS", dosText, lines, rounds, false);
  bool met = measure("both", unixText + dosText, 2 * lines, rounds, true);
  const int sftpLines = 100'000;
  met = measure("SFTP", sftpListing(sftpLines, rng), sftpLines, rounds, true) && met;
  return met ? 0 : 1;
}
