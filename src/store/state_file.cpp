#include "store/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "config/config.h"
#include "util/fd_io.h"
#include "util/log.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/unique_fd.h"

std::mutex STORE_LOCK;

namespace {

// A state file larger than this is not ours: it is kept aside as unreadable, not loaded.
constexpr std::size_t MAX_STATE_BYTES = 64u << 20;

// Numbers the temporary files of this process, so two writes never share one.
std::atomic<std::uint64_t> temp_counter{0};

/// What reading the state file found.
struct StateRead {
  Json object = Json::object();  // the top-level object; empty when there is none
  bool unreadable = false;       // a regular file is there, but it holds no JSON object
};

bool is_regular(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads the whole file at `path` into `out`. Opening never blocks (a FIFO in the file's place
// must not hang the caller), and anything but a regular file is refused with errno set.
bool read_whole_file(const std::string& path, std::string& out) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  int err = read_to_end(fd.get(), out, MAX_STATE_BYTES);
  errno = err;
  return err == 0;
}

StateRead read_state() {
  const std::string& path = state_file_path();
  StateRead result;
  std::string bytes;
  if (!read_whole_file(path, bytes)) {
    // Missing is the ordinary first-run case. A regular file we cannot read still counts as
    // unreadable, so that it is kept rather than overwritten.
    result.unreadable = is_regular(path);
    return result;
  }
  if (!is_valid_utf8(bytes)) {
    result.unreadable = true;
    return result;
  }
  std::optional<Json> parsed = parse_json(bytes);
  if (!parsed || !parsed->is_object()) {
    result.unreadable = true;
    return result;
  }
  result.object = std::move(*parsed);
  return result;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates `folder` and every missing parent (0777 before the umask). Returns 0 or an errno.
int make_folders(const std::string& folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    std::string prefix = folder.substr(0, at);
    if (::mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST) continue;
    int err = errno;
    // Some systems report EACCES or EROFS rather than EEXIST for a folder that is there.
    if (!is_directory(prefix)) return err;
  }
  return is_directory(folder) ? 0 : ENOTDIR;
}

// Pushes the file's data to stable storage. On macOS fsync only reaches the drive's cache;
// F_FULLFSYNC reaches the medium, and fsync is the fallback where the file system refuses it.
int sync_descriptor(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  for (;;) {
    if (::fsync(fd) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// Writes all of `text` to `path` (created or truncated) and syncs it. Returns 0 or an errno.
int write_synced(const std::string& path, const std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return errno;
  if (int err = write_fully(fd.get(), text)) return err;
  return sync_descriptor(fd.get());
}

// Makes the rename itself durable. Best effort: the new contents are already on disk, and a
// folder that cannot be synced does not make the write a failure.
void sync_folder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) sync_descriptor(fd.get());
}

// Renames the unreadable state file to "<path>.unreadable-<unix time>" so the rewrite that
// follows loses nothing of it. Returns false (after logging) when it could not be moved, in
// which case the caller must not overwrite it. Expects STORE_LOCK held.
bool keep_unreadable_aside(const std::string& path) {
  std::string base =
      path + ".unreadable-" + std::to_string(static_cast<long long>(std::time(nullptr)));
  std::string aside = base;
  // A file kept aside earlier in the same second keeps its name; ours gets a suffix.
  struct stat st {};
  for (int n = 1; ::lstat(aside.c_str(), &st) == 0 && n < 1000; ++n) {
    aside = base + "-" + std::to_string(n);
  }
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    bridge_log("cannot save " + path + ": " + os_error_text(errno));
    return false;
  }
  bridge_log("kept the unreadable state file aside as " + aside);
  return true;
}

// The read half of every read-modify-write: the current object, with an unreadable file moved
// out of the way first. nullopt when such a file could not be moved. Expects STORE_LOCK held.
std::optional<Json> load_for_rewrite() {
  StateRead read = read_state();
  if (read.unreadable && !keep_unreadable_aside(state_file_path())) return std::nullopt;
  return std::move(read.object);
}

void save_or_log(const Json& object) {
  if (std::optional<std::string> error = write_state(object)) {
    bridge_log("cannot save " + state_file_path() + ": " + *error);
  }
}

}  // namespace

Json load_state() { return read_state().object; }

std::optional<std::string> write_state(const Json& object) {
  const std::string& path = state_file_path();
  std::string folder = folder_of(path);
  if (int err = make_folders(folder)) return os_error_text(err);

  std::string temp = join_path(folder, ".bridge_state-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(temp_counter.fetch_add(1)) + ".tmp");
  int err = write_synced(temp, dump_json_indented(object));
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return os_error_text(err);
  }
  sync_folder(folder);
  return std::nullopt;
}

void remember_npc(const std::string& id, const std::function<Remembered()>& current) {
  std::lock_guard<std::mutex> store(STORE_LOCK);
  std::optional<Json> object = load_for_rewrite();
  if (!object) return;
  Remembered values = current();
  (*object)[id] = Json{{"workspace", values.workspace},
                       {"workspace_source", values.workspace_is_default ? "default" : "explicit"},
                       {"session_id", values.session_id},
                       {"persona", values.persona},
                       {"model", values.model}};
  save_or_log(*object);
}

Recalled recall_npc(const std::string& id, const std::string& default_workspace) {
  Recalled recalled;
  Json object = load_state();
  const Json* entry = field(object, id);
  if (entry == nullptr || !entry->is_object()) return recalled;

  std::string folder = as_text(*entry, "workspace");
  if (!folder.empty() && as_text(*entry, "workspace_source") == "explicit") {
    if (is_directory(folder)) {
      recalled.workspace = folder;
    } else {
      bridge_log("npc=" + id + " remembered folder is gone (" + folder + "); using " +
                 default_workspace);
    }
  }
  // Only a non-empty text is a conversation to resume: an edited file's `"session_id": 5` is none.
  const Json* session = field(*entry, "session_id");
  if (session != nullptr && session->is_string() && !as_text(session).empty()) {
    recalled.session_id = as_text(session);
  }
  std::string persona = as_text(*entry, "persona");
  if (!persona.empty()) recalled.persona = persona;
  const Json* model = field(*entry, "model");
  if (model != nullptr && !model->is_null()) recalled.model = as_text(model);
  return recalled;
}

void forget_workspaces() {
  std::lock_guard<std::mutex> store(STORE_LOCK);
  std::optional<Json> object = load_for_rewrite();
  if (object) {
    for (Json& entry : *object) {
      if (!entry.is_object()) continue;
      entry.erase("workspace");
      entry.erase("workspace_source");
      entry.erase("session_id");
    }
    // Written even when nothing changed, so that an absent file now exists.
    save_or_log(*object);
  }
  std::size_t count = object ? object->size() : 0;
  bridge_log("forgot " + std::to_string(count) + " remembered folder(s)");
}
