#include "RunGroup.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "GroupCleanup.hpp"
#include "GroupFolder.hpp"

namespace thumbtool {

namespace {

std::optional<std::string> readText(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1U << 20)) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return n < 0 ? std::nullopt : std::optional<std::string>(text);
}

bool writeText(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

// The non-empty pieces between separators. (No string streams: their first use costs every run
// the start-up of the stream library's locale machinery.)
std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > start) {
      pieces.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return pieces;
}

bool hasWord(const std::string& text, const std::string& word) {
  std::vector<std::string> words = split(text, ' ');
  for (std::string& each : words) {
    each.erase(std::remove(each.begin(), each.end(), '\n'), each.end());
  }
  return std::find(words.begin(), words.end(), word) != words.end();
}

// A mounted control-group hierarchy: where it is, and which group its top is.
struct Hierarchy {
  std::string root;   // the group shown at the mount point
  std::string point;  // the mount point
  std::string ownGroup;
};

// Whether the mount that shows the group root shows group too: root itself or a group below it
// ("/a/bc" is not below "/a/b", however the names begin).
bool shownBelow(const std::string& root, const std::string& group) {
  return root == "/" ? !group.empty() && group[0] == '/'
                     : group.compare(0, root.size(), root) == 0 &&
                           (group.size() == root.size() || group[root.size()] == '/');
}

// The unified tree (controller "") or the separate hierarchy of one controller, as mounted here,
// with this process's group in it.
std::optional<Hierarchy> hierarchyOf(const std::string& controller) {
  std::optional<Hierarchy> found;
  for (const std::string& line : split(readText("/proc/self/mountinfo").value_or(""), '\n')) {
    std::vector<std::string> fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || std::distance(dash, fields.end()) < 4) {
      continue;
    }
    const std::string& type = dash[1];
    std::vector<std::string> options = split(dash[3], ',');
    bool matches = controller.empty()
                       ? type == "cgroup2"
                       : type == "cgroup" &&
                             std::find(options.begin(), options.end(), controller) != options.end();
    if (matches) {
      found = Hierarchy{fields[3], fields[4], {}};
      break;
    }
  }
  const std::vector<std::string> groups =
      found ? split(readText("/proc/self/cgroup").value_or(""), '\n') : std::vector<std::string>();
  for (const std::string& line : groups) {
    std::size_t first = line.find(':');
    std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
      continue;
    }
    std::vector<std::string> controllers = split(line.substr(first + 1, second - first - 1), ',');
    bool mine = controller.empty() ? line.compare(0, second + 1, "0::") == 0
                                   : std::find(controllers.begin(), controllers.end(),
                                               controller) != controllers.end();
    if (mine) {
      found->ownGroup = line.substr(second + 1);
    }
  }
  if (!found || found->ownGroup.empty() || !shownBelow(found->root, found->ownGroup)) {
    return std::nullopt;  // not mounted, or this process's group lies outside the mount
  }
  return found;
}

std::string folderOf(const Hierarchy& hierarchy, const std::string& group) {
  std::string inside = group.substr(hierarchy.root.size());
  if (!inside.empty() && inside[0] != '/') {
    inside.insert(0, "/");
  }
  return inside == "/" ? hierarchy.point : hierarchy.point + inside;
}

// A new folder for this run in parent, after the stale ones of runs that were killed (one with
// this process's own id is an ended process's too).
std::optional<std::string> makeFolder(const std::string& parent) {
  removeStaleRunGroups(parent);
  std::string folder = parent + "/" + runFolderName(getpid());
  if (mkdir(folder.c_str(), 0755) != 0 &&
      !(errno == EEXIST && rmdir(folder.c_str()) == 0 && mkdir(folder.c_str(), 0755) == 0)) {
    return std::nullopt;
  }
  return folder;
}

std::string bytes(std::uint64_t count) { return std::to_string(count); }

}  // namespace

std::optional<std::string> unifiedGroupParent(const std::string& mountPoint,
                                              const std::string& mountRoot,
                                              const std::string& ownGroup) {
  if (!shownBelow(mountRoot, ownGroup)) {
    return std::nullopt;
  }
  std::string parent = folderOf(Hierarchy{mountRoot, mountPoint, ownGroup}, ownGroup);
  std::string offered = readText(parent + "/cgroup.subtree_control").value_or("");
  return hasWord(offered, "memory") ? std::optional<std::string>(parent) : std::nullopt;
}

RunGroup RunGroup::join(const GroupLimits& limits) {
  RunGroup group;
  SignalsHeld held;
  if (!group.joinUnified(limits)) {
    group.joinSeparate(limits);
  }
  if (!group.members_.empty()) {
    removeGroupsOnSignal(group.members_);
  }
  return group;
}

bool RunGroup::joinUnified(const GroupLimits& limits) {
  std::optional<Hierarchy> unified = hierarchyOf("");
  std::optional<std::string> parent =
      unified ? unifiedGroupParent(unified->point, unified->root, unified->ownGroup)
              : std::nullopt;
  std::optional<std::string> folder = parent ? makeFolder(*parent) : std::nullopt;
  if (!folder) {
    return false;
  }
  std::string offered = readText(*parent + "/cgroup.subtree_control").value_or("");
  bool tasks = hasWord(offered, "pids") &&
               writeText(*folder + "/pids.max", std::to_string(limits.maxTasks));
  // No swap: the budget is the memory itself.
  writeText(*folder + "/memory.swap.max", "0");
  if (writeText(*folder + "/memory.max", bytes(limits.memoryBytes)) &&
      moveSelfTo(folder->c_str())) {
    kind_ = GroupKind::unified;
    holdsTasks_ = tasks;
    members_.push_back({*folder, *parent});
    return true;
  }
  rmdir(folder->c_str());
  return false;
}

void RunGroup::joinSeparate(const GroupLimits& limits) {
  // Memory, and tasks where the pids hierarchy allows it too.
  struct Controller {
    const char* name;
    const char* limitFile;
    std::string limit;
  };
  for (const Controller& controller :
       {Controller{"memory", "memory.limit_in_bytes", bytes(limits.memoryBytes)},
        Controller{"pids", "pids.max", std::to_string(limits.maxTasks)}}) {
    std::optional<Hierarchy> hierarchy = hierarchyOf(controller.name);
    if (!hierarchy || (members_.empty() && std::string(controller.name) != "memory")) {
      break;
    }
    std::string home = folderOf(*hierarchy, hierarchy->ownGroup);
    std::optional<std::string> folder = makeFolder(home);
    if (!folder) {
      continue;
    }
    bool limited = writeText(*folder + "/" + controller.limitFile, controller.limit);
    if (limited && std::string(controller.name) == "memory") {
      // Where swap is accounted, the same figure for memory and swap together.
      writeText(*folder + "/memory.memsw.limit_in_bytes", controller.limit);
    }
    if (!limited || !moveSelfTo(folder->c_str())) {
      rmdir(folder->c_str());
      continue;
    }
    kind_ = GroupKind::separate;
    holdsTasks_ = std::string(controller.name) == "pids";
    members_.push_back({*folder, home});
  }
}

bool RunGroup::admit(pid_t pid) const {
  for (const GroupFolders& member : members_) {
    if (!writeText(member.folder + "/cgroup.procs", std::to_string(pid))) {
      return false;
    }
  }
  return true;
}

RunGroup::~RunGroup() { leave(); }

RunGroup::RunGroup(RunGroup&& other) noexcept
    : kind_(std::exchange(other.kind_, GroupKind::none)),
      holdsTasks_(std::exchange(other.holdsTasks_, false)),
      members_(std::move(other.members_)) {
  other.members_.clear();
}

RunGroup& RunGroup::operator=(RunGroup&& other) noexcept {
  if (this != &other) {
    leave();
    kind_ = std::exchange(other.kind_, GroupKind::none);
    holdsTasks_ = std::exchange(other.holdsTasks_, false);
    members_ = std::move(other.members_);
    other.members_.clear();
  }
  return *this;
}

void RunGroup::leave() {
  if (members_.empty()) {
    return;
  }
  SignalsHeld held;
  stopRemovingGroupsOnSignal();
  for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
    emptyAndRemoveGroup(member->folder.c_str(), member->home.c_str());
  }
  members_.clear();
  kind_ = GroupKind::none;
  holdsTasks_ = false;
}

}  // namespace thumbtool
