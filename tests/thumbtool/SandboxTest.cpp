// The thumbnailer sandbox, tried from inside by a probe thumbnailer that attempts every way out
// it can think of and paints its verdict: magenta when nothing got out. As root and as an
// unprivileged user; without a working bubblewrap, the probe must never run.
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <chrono>
#include <sstream>
#include <thread>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Samples.hpp"
#include "Requirements.hpp"
#include "ServerProcess.hpp"
#include "TimeScale.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

// Runs as thumbnailer with %i %o. Every attempt that succeeds sets its bit; the picture is
// magenta when none did, otherwise (mask >> 8, 128, mask & 255). Files it manages to write
// beside the source land in the sandbox's own /tmp when confined: the test looks for them on
// the host instead.
constexpr const char* kProbe = R"PY(
import ctypes, os, resource, socket, struct, sys, zlib
source, output = sys.argv[1], sys.argv[2]
host = "@HOST@"
escaped = 0
def attempt(bit, action):
    global escaped
    try:
        if action():
            escaped |= 1 << bit
    except Exception:
        pass
def write(path):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(fd, b"escaped")
    os.close(fd)
    return True
def connect(family, address):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(2)
    s.connect(address)
    return True
def read(path):
    with open(path, "rb") as f:
        return len(f.read(1)) >= 0
def remount(target):
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.mount(None, target.encode(), None, 32 | 4096, None) == 0  # MS_REMOUNT | MS_BIND
def unlimited(limit):
    return resource.getrlimit(limit)[0] == resource.RLIM_INFINITY
attempt(15, lambda: os.listdir(os.path.dirname(source)) != [os.path.basename(source)])
attempt(16, lambda: write(host + "/escaped") and False)
attempt(16, lambda: write(os.path.dirname(source) + "/escaped-beside-source") and False)
attempt(2, lambda: write("/usr/.thumbtool-probe-escaped"))
attempt(3, lambda: connect(socket.AF_UNIX, host + "/probe.sock"))
attempt(4, lambda: connect(socket.AF_UNIX, "\0@ABSTRACT@"))
attempt(5, lambda: connect(socket.AF_INET, ("127.0.0.1", @PORT@)))
attempt(6, lambda: read(host + "/secret"))
attempt(7, lambda: read("/etc/shadow"))
attempt(8, lambda: remount("/"))
attempt(9, lambda: remount("/usr"))
attempt(10, lambda: os.getuid() == 0)
attempt(11, lambda: int([l for l in open("/proc/self/status") if l.startswith("CapEff")][0].split()[1], 16) != 0)
attempt(12, lambda: any(v in os.environ for v in ("THUMBTOOL_PROBE_CANARY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS")))
attempt(13, lambda: unlimited(resource.RLIMIT_AS) or unlimited(resource.RLIMIT_NPROC))
attempt(14, lambda: len(os.listdir("/run")) > 0)
attempt(0, lambda: os.chmod("/dev/null", 0o666) or True)
def crowd(count):
    children = []
    try:
        for _ in range(count):
            pid = os.fork()
            if pid == 0:
                os.read(os.pipe()[0], 1)  # blocks until killed
                os._exit(0)
            children.append(pid)
    except OSError:
        pass
    for pid in children:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    return len(children) >= count
attempt(1, lambda: crowd(400))
colour = (255, 0, 255) if escaped == 0 else (escaped >> 8, 128, escaped & 255)
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"".join(b"\0" + bytes(colour) * 16 for _ in range(16))
with open(output, "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
)PY";

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

std::string base64(const std::string& bytes) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string result = encoded;
  g_free(encoded);
  return result;
}

// A listening socket the probe must never reach; accepted() tells whether it did.
class Listener {
 public:
  Listener(int family, const sockaddr* address, socklen_t length) {
    fd_ = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, address, length) != 0 || listen(fd_, 4) != 0) {
      throw std::runtime_error(std::string("listener: ") + std::strerror(errno));
    }
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool accepted() const {
    int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
      close(client);
    }
    return client >= 0;
  }
  int port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

 private:
  int fd_ = -1;
};

std::unique_ptr<Listener> unixListener(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::size_t offset = abstract ? 1 : 0;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  return std::make_unique<Listener>(AF_UNIX, reinterpret_cast<sockaddr*>(&address), length);
}

std::unique_ptr<Listener> tcpListener() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return std::make_unique<Listener>(AF_INET, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

const std::vector<std::string> kUnprivileged = {"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};

class SandboxTest : public testing::Test {
 protected:
  void SetUp() override {
    // Readable by an unprivileged user; outputs go to a folder anyone may write.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    fs::create_directory(outputs());
    fs::permissions(outputs(), fs::perms::all);
    source_ = dir_.path() / "sample.thumbtoolsample";
    writeFile(source_, std::string(512, '\x01'));
  }

  fs::path outputs() const { return dir_.path() / "out"; }

  // Registers the probe as the sample type's only thumbnailer.
  std::optional<fs::path> registerProbe(int tcpPort) {
    std::string probe = kProbe;
    replaceAll(probe, "@HOST@", dir_.path().string());
    replaceAll(probe, "@ABSTRACT@", abstractName());
    replaceAll(probe, "@PORT@", std::to_string(tcpPort));
    return sampleThumbnailers(
        dir_.path() / "data",
        {{"probe.thumbnailer",
          "python3 -c \"import base64;exec(base64.b64decode('" + base64(probe) + "'))\" %i %o"}},
        "python3");
  }

  std::string abstractName() const { return "thumbtool-probe-" + std::to_string(getpid()); }

  ScopedTempDir dir_;
  fs::path source_;
};

struct ProbeCase {
  const char* name;
  bool asRoot;
};

class SandboxProbeTest : public SandboxTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(SandboxProbeTest, ProbeRunsAndNothingGetsOut) {
  std::vector<std::string> launcher;
  if (GetParam().asRoot && geteuid() != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "runs as root only");
  }
  if (!GetParam().asRoot && geteuid() == 0) {
    launcher = kUnprivileged;
  }
  if (std::optional<std::string> problem = sandboxProblem(launcher)) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "bubblewrap cannot set up its namespaces here: " + *problem);
  }
  auto socketFile = unixListener((dir_.path() / "probe.sock").string(), false);
  auto abstract = unixListener(abstractName(), true);
  auto tcp = tcpListener();
  writeFile(dir_.path() / "secret", "secret");
  fs::permissions(dir_.path() / "secret", fs::perms::owner_read | fs::perms::owner_write);
  std::optional<fs::path> data = registerProbe(tcp->port());
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  fs::path out = outputs() / "probe.png";
  RunOptions options;
  options.launcher = launcher;
  options.environment = {
      {"XDG_DATA_HOME", data->string()},
      {"THUMBTOOL_PROBE_CANARY", "1"},
      {"XDG_RUNTIME_DIR", dir_.path().string()},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_.path().string() + "/probe.sock"}};
  RunResult run = runThumbtool({source_.string(), out.string()}, options);
  bool leftFile = fs::exists(dir_.path() / "escaped") ||
                  fs::exists(dir_.path() / "escaped-beside-source") ||
                  fs::exists("/usr/.thumbtool-probe-escaped");
  std::error_code ignored;
  fs::remove("/usr/.thumbtool-probe-escaped", ignored);

  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_FALSE(leftFile) << "the probe wrote a file on the host";
  EXPECT_FALSE(socketFile->accepted()) << "the probe reached a unix socket file";
  EXPECT_FALSE(abstract->accepted()) << "the probe reached an abstract unix socket";
  EXPECT_FALSE(tcp->accepted()) << "the probe reached a TCP listener";
  std::optional<Decoded> image = decodeImage(out);
  ASSERT_TRUE(image.has_value());
  ASSERT_EQ(image->width, 16) << "the probe did not run: this is not its picture";
  std::vector<int> colour = image->rgbAt(8, 8);
  EXPECT_EQ(colour, (std::vector<int>{255, 0, 255}))
      << "attempts that got out (bit mask): " << (colour[0] << 8 | colour[2]);
}

INSTANTIATE_TEST_SUITE_P(Users, SandboxProbeTest,
                         testing::Values(ProbeCase{"Root", true}, ProbeCase{"Unprivileged", false}),
                         [](const testing::TestParamInfo<ProbeCase>& info) {
                           return std::string(info.param.name);
                         });

struct ProcessIds {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string groups;  // supplementary groups, as /proc shows them
};

// The ids, as this process's namespace sees them, of a process whose command line holds the
// marker; watched for until the deadline.
std::optional<ProcessIds> idsOfProcessMarked(const std::string& marker,
                                             std::chrono::steady_clock::time_point deadline) {
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::string name = entry.path().filename().string();
      if (!std::isdigit(static_cast<unsigned char>(name[0])) ||
          zembrel::test::readFile(entry.path() / "cmdline").find(marker) == std::string::npos) {
        continue;
      }
      ProcessIds ids;
      std::istringstream status(zembrel::test::readFile(entry.path() / "status"));
      for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "Uid:") {
          fields >> ids.uid;
        } else if (key == "Gid:") {
          fields >> ids.gid;
        } else if (key == "Groups:") {
          std::getline(fields, ids.groups);
          ids.groups.erase(0, ids.groups.find_first_not_of(" \t"));
        }
      }
      return ids;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

// Root's thumbnailers run as a user no account and no other process has, not as the shared
// nobody (whose other processes could then trace them): with the file's group only where just
// the group may read it. Seen from outside the sandbox, while the thumbnailer runs.
TEST_F(SandboxTest, RootsThumbnailersRunAsAUserOfTheRunsOwn) {
  if (geteuid() != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "runs as root only");
  }
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "bubblewrap cannot set up its namespaces here: " + *problem);
  }
  const std::string marker = "thumbtool-id-marker-" + std::to_string(getpid());
  std::optional<fs::path> data = sampleThumbnailers(
      dir_.path() / "data", {{"ids.thumbnailer", "sh -c 'sleep 2' " + marker + " %o"}});
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  constexpr gid_t kFileGroup = 4242;
  fs::path groupOnly = dir_.path() / "group-only.thumbtoolsample";
  writeFile(groupOnly, std::string(512, '\x01'));
  ASSERT_EQ(chown(groupOnly.c_str(), 0, kFileGroup), 0);
  ASSERT_EQ(chmod(groupOnly.c_str(), 0640), 0);
  for (const fs::path& source : {source_, groupOnly}) {
    std::thread run([&] {
      runThumbtool({source.string(), (outputs() / "ids.png").string()},
                   std::map<std::string, std::string>{{"XDG_DATA_HOME", data->string()}});
    });
    std::optional<ProcessIds> ids = idsOfProcessMarked(
        marker, std::chrono::steady_clock::now() + zembrel::test::scaled(std::chrono::seconds(8)));
    run.join();
    ASSERT_TRUE(ids.has_value()) << source << ": the thumbnailer was not seen running";
    EXPECT_NE(ids->uid, 0U) << source;
    EXPECT_NE(ids->uid, 65534U) << source << ": the shared nobody";
    EXPECT_EQ(getpwuid(ids->uid), nullptr) << source << ": " << ids->uid << " is an account's";
    EXPECT_EQ(ids->groups, "") << source;
    if (source == groupOnly) {
      EXPECT_EQ(ids->gid, kFileGroup);
    } else {
      EXPECT_EQ(ids->gid, ids->uid);
      EXPECT_EQ(getgrgid(ids->gid), nullptr) << ids->gid << " is a group's";
    }
  }
}

// Without bubblewrap, or with one that cannot set up, the probe must not run at all: the
// file's icon is written instead. The search path holds only what the probe's entry needs.
TEST_F(SandboxTest, WithoutAWorkingBubblewrapNoThumbnailerRuns) {
  auto tcp = tcpListener();
  std::optional<fs::path> data = registerProbe(tcp->port());
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  for (bool brokenBwrap : {false, true}) {
    fs::path bin = dir_.path() / (brokenBwrap ? "bin-broken" : "bin-missing");
    fs::create_directories(bin);
    fs::create_symlink("/usr/bin/python3", bin / "python3");
    fs::create_symlink("/bin/sh", bin / "sh");
    if (brokenBwrap) {
      writeFile(bin / "bwrap",
                "#!/bin/sh\necho 'bwrap: Creating new namespace failed: Operation not "
                "permitted' >&2\nexit 1\n");
      fs::permissions(bin / "bwrap", fs::perms::owner_all);
    }
    fs::path out = outputs() / (bin.filename().string() + ".png");
    RunResult run = runThumbtool({source_.string(), out.string()},
                                 std::map<std::string, std::string>{
                                     {"XDG_DATA_HOME", data->string()}, {"PATH", bin.string()}});
    EXPECT_EQ(run.exitStatus, 0) << bin.filename();
    EXPECT_EQ(run.out + run.err, "") << bin.filename();
    EXPECT_FALSE(fs::exists(dir_.path() / "escaped")) << bin.filename() << ": the probe ran";
    std::optional<Decoded> image = decodeImage(out);
    ASSERT_TRUE(image.has_value()) << bin.filename();
    EXPECT_TRUE(looksLikeIcon(*image, 200)) << bin.filename() << ": the icon is written";
  }
  EXPECT_FALSE(tcp->accepted());
}

// A relative SOURCE gives thumbnailers the same absolute %i and file URI as its absolute form.
TEST_F(SandboxTest, RelativeSourceGivesThumbnailersAnAbsoluteUri) {
  if (std::optional<std::string> problem = sandboxProblem({})) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "bubblewrap cannot set up its namespaces here: " + *problem);
  }
  const std::string picture = "/usr/share/icons/Adwaita/48x48/mimetypes/text-x-generic.png";
  if (!fs::exists(picture)) {
    GTEST_SKIP() << "the Adwaita icon theme is not installed";
  }
  std::optional<fs::path> data =
      sampleThumbnailers(dir_.path() / "data",
                         {{"uri.thumbnailer",
                           "sh -c 'case \"$0\" in file:///*) test -r \"$2\" && cp \"$3\" \"$1\";; "
                           "esac' %u %o %i " +
                               picture}});
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  RunOptions options;
  options.environment = {{"XDG_DATA_HOME", data->string()}};
  options.workingFolder = dir_.path();
  RunResult run = runThumbtool({source_.filename().string(), "out/relative.png"}, options);
  EXPECT_EQ(run.exitStatus, 0);
  std::optional<Decoded> image = decodeImage(outputs() / "relative.png");
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 48) << "the thumbnailer's picture, not the icon";
}

struct OutputTrick {
  const char* name;
  const char* script;  // sh -c 'SCRIPT' %o PICTURE 'TEXT'
};

// Not square, so that it cannot pass for the icon if it were rendered.
constexpr const char* kSvg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"9\" height=\"5\"/>";

// A picture a thumbnailer may give (48 pixels wide).
const std::string kPicture = "/usr/share/icons/Adwaita/48x48/mimetypes/text-x-generic.png";


// What a thumbnailer leaves in its output folder is read as a PNG file and nothing else (not
// another format, not through a link), and the folder goes afterwards, however it was filled.
TEST_F(SandboxTest, OutputIsReadAsAPngFileOnlyAndItsFolderRemoved) {
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "bubblewrap cannot set up its namespaces here: " + *problem);
  }
  if (!fs::exists(kPicture)) {
    GTEST_SKIP() << "the Adwaita icon theme is not installed";
  }
  const std::string& picture = kPicture;
  writeFile(dir_.path() / "keep", "keep");
  const OutputTrick tricks[] = {
      {"svg", "echo \"$2\" > \"$0\""},
      {"link", "ln -s \"$1\" \"$0\""},
      {"fifo", "mkfifo \"$0\""},
      {"nested",
       "mkdir -p /output/a/b && cp \"$1\" /output/a/b/c && ln -s @KEEP@ /output/l && "
       "chmod 0 /output/a"},
      {"flood",
       // Deeper than the descriptors one process may hold, and more than the output may take.
       "p=; i=0; while [ $i -lt 1100 ]; do p=$p/d; i=$((i+1)); done; mkdir -p /output$p; "
       "head -c 62914560 /dev/zero > /output/big; cp \"$1\" \"$0\""},
  };
  for (const OutputTrick& trick : tricks) {
    std::string script = trick.script;
    replaceAll(script, "@KEEP@", (dir_.path() / "keep").string());
    std::optional<fs::path> data = sampleThumbnailers(
        dir_.path() / ("data-" + std::string(trick.name)),
        {{"trick.thumbnailer", "sh -c '" + script + "' %o " + picture + " '" + kSvg + "'"}});
    if (!data) {
      GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
    }
    fs::path temporary = dir_.path() / ("tmp-" + std::string(trick.name));
    fs::create_directory(temporary);
    fs::path out = outputs() / (std::string(trick.name) + ".png");
    RunResult run =
        runThumbtool({source_.string(), out.string()},
                     std::map<std::string, std::string>{{"XDG_DATA_HOME", data->string()},
                                                        {"TMPDIR", temporary.string()}});
    EXPECT_EQ(run.exitStatus, 0) << trick.name;
    std::optional<Decoded> image = decodeImage(out);
    ASSERT_TRUE(image.has_value()) << trick.name;
    EXPECT_TRUE(looksLikeIcon(*image, 200)) << trick.name << ": only a PNG file may be used";
    EXPECT_TRUE(fs::is_empty(temporary)) << trick.name << ": the output folder is left behind";
    EXPECT_TRUE(fs::exists(dir_.path() / "keep")) << trick.name << ": a link was followed";
  }
}

struct HoardingCase {
  const char* name;
  std::string exec;   // the thumbnailer's command line
  bool givesPicture;  // whether the thumbnailer's picture, not the icon, must come out
};

// Memory held in files is no process's resident size. The sandbox's /dev takes no files and its
// shared memory is bounded: that thumbnailer gives its picture only when both hold. Memfds fill
// the run's group, and the kernel's pick then must fall on the thumbnailer, not thumbtool: it
// writes the icon (where no group holds the run, the picture).
TEST_F(SandboxTest, MemoryHeldInFilesNeitherEscapesNorEndsThumbtool) {
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "bubblewrap cannot set up its namespaces here: " + *problem);
  }
  if (!fs::exists(kPicture)) {
    GTEST_SKIP() << "the Adwaita icon theme is not installed";
  }
  const std::string devFill =
      "i=0; while [ $i -lt 3 ]; do head -c 60000000 /dev/zero > /dev/shm/f$i || break; "
      "i=$((i+1)); done; [ $i -lt 3 ] && ! touch /dev/fill 2>/dev/null && cp \"$1\" \"$0\"";
  const std::string memfdFill =
      "import os\n"
      "for i in range(24):\n"
      "    fd = os.memfd_create('fill')\n"
      "    for j in range(60): os.write(fd, b'x' * (1 << 20))\n"
      "open('/output/thumbnail.png', 'wb').write(b'not reached')\n";
  const HoardingCase cases[] = {
      {"dev", "sh -c '" + devFill + "' %o " + kPicture, true},
      {"memfd",
       "python3 -c \"import base64;exec(base64.b64decode('" + base64(memfdFill) + "'))\" %o",
       false},
  };
  for (const HoardingCase& hoard : cases) {
    std::optional<fs::path> data =
        sampleThumbnailers(dir_.path() / ("data-" + std::string(hoard.name)),
                           {{"fill.thumbnailer", hoard.exec}}, "python3");
    if (!data) {
      GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
    }
    fs::path out = outputs() / (std::string(hoard.name) + ".png");
    RunResult run =
        runThumbtool({source_.string(), out.string()},
                     std::map<std::string, std::string>{{"XDG_DATA_HOME", data->string()}});
    EXPECT_EQ(run.exitStatus, 0) << hoard.name << ": thumbtool was ended";
    std::optional<Decoded> image = decodeImage(out);
    ASSERT_TRUE(image.has_value()) << hoard.name << ": nothing written";
    if (hoard.givesPicture) {
      EXPECT_EQ(image->width, 48) << hoard.name << ": the files were not bounded";
    }
  }
}

}  // namespace
}  // namespace thumbtool::test
