// File and path helpers of the plugin container: reading the plugin folder's files through
// Python's own facilities (so errors are the runtime's usual ones), and writing the
// configuration file atomically.
#include "plugin.hpp"

#include "../../pyutil/json.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace plugins {

using pyutil::Ref;

Ref call_function(const char* module, const char* function, std::initializer_list<PyObject*> args) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return Ref();
    Ref fn = Ref::steal(PyObject_GetAttrString(mod.get(), function));
    if (!fn) return Ref();
    return Ref::steal(PyObject_Vectorcall(fn.get(), const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref path_join(PyObject* folder, const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return Ref();
    return call_function("os.path", "join", {folder, text.get()});
}

int path_exists(PyObject* path) {
    Ref result = call_function("os.path", "exists", {path});
    return result ? PyObject_IsTrue(result.get()) : -1;
}

namespace {

// open(path, mode, encoding=...) -> .read(), closing the file whatever happens.
Ref read_file(PyObject* path, const char* mode, const char* encoding) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return Ref();
    Ref open = Ref::steal(PyObject_GetAttrString(io.get(), "open"));
    Ref mode_text = Ref::steal(PyUnicode_FromString(mode));
    if (!open || !mode_text) return Ref();
    Ref file;
    if (encoding != nullptr) {
        Ref encoding_text = Ref::steal(PyUnicode_FromString(encoding));
        Ref kwnames = Ref::steal(Py_BuildValue("(s)", "encoding"));
        if (!encoding_text || !kwnames) return Ref();
        PyObject* args[] = {path, mode_text.get(), encoding_text.get()};
        file = Ref::steal(PyObject_Vectorcall(open.get(), args, 2, kwnames.get()));
    } else {
        PyObject* args[] = {path, mode_text.get()};
        file = Ref::steal(PyObject_Vectorcall(open.get(), args, 2, nullptr));
    }
    if (!file) return Ref();
    Ref content = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
    // Close in every case; an error of read() wins over one of close().
    Ref pending = content ? Ref() : pyutil::fetch_exception();
    Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    if (pending) {
        if (!closed) PyErr_Clear();
        pyutil::reraise(std::move(pending));
        return Ref();
    }
    if (!closed) return Ref();
    return content;
}

}  // namespace

Ref read_text(PyObject* path) { return read_file(path, "r", "utf-8"); }

// ---------------------------------------------------------------------------------------------
// Files of the plugin folder. Only regular files are read (a symbolic link to one is fine), and
// at most `limit` bytes: a FIFO would block the load forever and a link to a device would fill
// the memory. The file is opened without blocking and checked with fstat before any read.

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

enum class ReadOutcome { Ok, Failed, NotRegular, TooLarge };

// Runs without the GIL. On Failed, errno is set; on NotRegular, `mode` says what it is.
ReadOutcome read_regular_file(const std::string& path, std::size_t limit, std::string& data, mode_t& mode) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return ReadOutcome::Failed;
    struct stat st {};
    ReadOutcome outcome = ReadOutcome::Ok;
    if (::fstat(fd, &st) != 0) {
        outcome = ReadOutcome::Failed;
    } else if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;  // as open() reports a folder
        outcome = ReadOutcome::Failed;
    } else if (!S_ISREG(st.st_mode)) {
        mode = st.st_mode;
        outcome = ReadOutcome::NotRegular;
    } else if (static_cast<std::size_t>(st.st_size) > limit) {
        outcome = ReadOutcome::TooLarge;
    }
    char buffer[65536];
    while (outcome == ReadOutcome::Ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) outcome = ReadOutcome::Failed;
        if (got <= 0) break;
        data.append(buffer, static_cast<std::size_t>(got));
        if (data.size() > limit) outcome = ReadOutcome::TooLarge;  // grew while being read
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return outcome;
}

// The file's bytes, or an empty Ref with an error naming the file.
bool read_plugin_file(PyObject* path, std::size_t limit, std::string& data) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) return false;
    Ref encoded = Ref::steal(raw);
    const std::string target(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    ReadOutcome outcome = ReadOutcome::Ok;
    mode_t mode = 0;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    outcome = read_regular_file(target, limit, data, mode);
    error = errno;
    Py_END_ALLOW_THREADS
    switch (outcome) {
        case ReadOutcome::Ok: return true;
        case ReadOutcome::Failed:
            errno = error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            return false;
        case ReadOutcome::NotRegular:
            PyErr_Format(PyExc_OSError, "Cannot read %R: it is %s, and only regular files are read from the plugin "
                         "folder", path, kind_of(mode));
            return false;
        case ReadOutcome::TooLarge:
            PyErr_Format(PyExc_OSError, "Cannot read %R: it is larger than the %zu bytes allowed for it", path, limit);
            return false;
    }
    return false;
}

}  // namespace

Ref read_plugin_text(PyObject* path, std::size_t limit) {
    std::string data;
    if (!read_plugin_file(path, limit, data)) return Ref();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (!text || data.find('\r') == std::string::npos) return text;
    // Line ends as a text-mode read gives them: "\r\n" and a lone "\r" both become "\n".
    Ref crlf = Ref::steal(PyUnicode_FromString("\r\n")), cr = Ref::steal(PyUnicode_FromString("\r")),
        lf = Ref::steal(PyUnicode_FromString("\n"));
    if (!crlf || !cr || !lf) return Ref();
    Ref once = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
    return once ? Ref::steal(PyUnicode_Replace(once.get(), cr.get(), lf.get(), -1)) : Ref();
}

Ref read_plugin_bytes(PyObject* path, std::size_t limit) {
    std::string data;
    if (!read_plugin_file(path, limit, data)) return Ref();
    return Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

Ref prefixed_id(PyObject* prefix, const char* middle, PyObject* own) {
    Ref joined = Ref::steal(PyUnicode_FromFormat("%S%s%S", prefix, middle, own));
    if (!joined) return Ref();
    Ref space = Ref::steal(PyUnicode_FromString(" "));
    Ref underscore = Ref::steal(PyUnicode_FromString("_"));
    if (!space || !underscore) return Ref();
    Ref replaced = Ref::steal(PyUnicode_Replace(joined.get(), space.get(), underscore.get(), -1));
    if (!replaced) return Ref();
    return Ref::steal(PyObject_CallMethod(replaced.get(), "lower", nullptr));
}

Ref find_by_id(PyObject* registry, PyObject* id) {
    Ref iterator = Ref::steal(PyObject_GetIter(registry));
    if (!iterator) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref item_id = Ref::steal(PyObject_GetAttrString(item.get(), "id"));
        if (!item_id) return Ref();
        Ref equal = Ref::steal(PyObject_RichCompare(item_id.get(), id, Py_EQ));
        if (!equal) return Ref();
        int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return Ref();
        if (truth) return item;
    }
    return Ref();
}

// ---------------------------------------------------------------------------------------------
// Atomic replacement of a file.
//
// The configuration file holds the user's settings. Rewriting it in place would leave a
// truncated file after a crash or a full disk, which the next load would set aside and replace
// with defaults. Instead the new content goes to a temporary file in the same folder, is flushed
// to disk, and replaces the old file in one rename.

namespace {

struct FileFacts {
    bool exists = false;
    bool is_dir = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

FileFacts facts_of(const std::string& path) {
    FileFacts facts;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        facts.exists = true;
        facts.is_dir = S_ISDIR(st.st_mode);
        facts.mode = st.st_mode & 07777;
        facts.uid = st.st_uid;
        facts.gid = st.st_gid;
    }
    return facts;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

int close_keeping_errno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

std::string temp_name(const std::string& folder, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%08x%04x.tmp", static_cast<long>(::getpid()), device(),
                  counter.fetch_add(1) & 0xffffu);
    return folder + "/." + base + suffix;
}

// Best effort: makes the rename itself durable. A failure here does not undo the write.
void sync_folder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A process killed while writing leaves its temporary file behind. Those of our target whose
// writer no longer runs and that are older than a minute (no write takes that long) are removed,
// so crashes do not pile up debris next to the configuration file.
void remove_stale_temporaries(const std::string& folder, const std::string& base) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    const std::string prefix = "." + base + ".";
    const std::string suffix = ".tmp";
    const std::time_t cutoff = std::time(nullptr) - 60;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() <= prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
            name.substr(name.size() - suffix.size()) != suffix) {
            continue;
        }
        char* end = nullptr;
        const std::string rest(name.substr(prefix.size()));
        const long pid = std::strtol(rest.c_str(), &end, 10);
        if (end == rest.c_str() || *end != '.' || pid <= 0 || pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string path = folder + "/" + std::string(name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < cutoff) ::unlink(path.c_str());
    }
    ::closedir(dir);
}

// Runs without the GIL. Returns 0, or -1 with errno set. `folder_refused` is set when the file
// exists but its folder takes no new file: the file is then left as it is, since a rewrite in
// place that is interrupted (a kill, a full disk) would leave a truncated file and so lose the
// saved settings.
std::string folder_of(const std::string& target);

int replace_file(const std::string& target, const FileFacts& facts, std::string_view data, bool& folder_refused) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = folder_of(target);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    // A file that we may not write stays as it is, as it would for a rewrite in place: a rename
    // over it would otherwise replace a write-protected configuration file.
    if (facts.exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return -1;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = temp_name(folder, base);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        folder_refused = (errno == EACCES || errno == EPERM || errno == EROFS) && facts.exists;
        return -1;
    }
    // The replacement keeps the permissions (and, where allowed, the owner) of the old file,
    // as a rewrite in place would.
    bool ok = true;
    if (facts.exists) {
        ok = ::fchmod(fd, facts.mode) == 0;
        if (ok && ::fchown(fd, facts.uid, facts.gid) != 0) errno = 0;  // not permitted: keep ours
    }
    ok = ok && write_all(fd, data) && ::fsync(fd) == 0;
    if (!ok) {
        close_keeping_errno(fd);
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    sync_folder(folder);
    remove_stale_temporaries(folder, base);
    return 0;
}

// The file system path to write: a symbolic link is followed, so the link stays a link.
bool resolve_target(PyObject* path, std::string& target) {
    Ref encoded;
    {
        PyObject* raw = nullptr;
        if (!PyUnicode_FSConverter(path, &raw)) return false;
        encoded = Ref::steal(raw);
    }
    target.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        Ref real = call_function("os.path", "realpath", {path});
        if (!real) return false;
        PyObject* raw = nullptr;
        if (!PyUnicode_FSConverter(real.get(), &raw)) return false;
        Ref real_encoded = Ref::steal(raw);
        target.assign(PyBytes_AS_STRING(real_encoded.get()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(real_encoded.get())));
    }
    return true;
}

std::string folder_of(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
}

// PermissionError(errno, message, folder): a save that could only rewrite the file in place.
void raise_folder_not_writable(PyObject* path, const std::string& target, int error) {
    Ref folder = Ref::steal(PyUnicode_DecodeFSDefault(folder_of(target).c_str()));
    Ref message = folder ? Ref::steal(PyUnicode_FromFormat(
                               "Cannot save %R safely: its folder is not writable, so the file cannot be replaced "
                               "in one step, and rewriting it in place could lose the saved settings",
                               path))
                         : Ref();
    if (!message) return;
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_PermissionError, "iOO", error, message.get(), folder.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The lock around a read-merge-write of the configuration file: an exclusive flock on the folder
// that holds the file. The folder, not the file, because each save replaces the file by a
// rename, and a lock on the old file would not exclude a process that opened the new one.
// Locks are per open file: the same thread taking it again (a callback that saves while a save
// runs) would wait for itself, so a thread takes each folder's lock once.

namespace {

thread_local std::vector<std::string> folders_locked_by_this_thread;

}  // namespace

ConfigLock::~ConfigLock() {
    if (fd_ < 0) return;
    ::close(fd_);  // releases the flock
    auto& held = folders_locked_by_this_thread;
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (*it == folder_) {
            held.erase(it);
            break;
        }
    }
}

bool ConfigLock::acquire(PyObject* path) {
    std::string target;
    if (!resolve_target(path, target)) {
        // A path that names no file (an embedded null byte) gets no lock; the operation itself
        // reports it where it touches the file.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        return true;
    }
    std::string folder = folder_of(target);
    for (const std::string& held : folders_locked_by_this_thread) {
        if (held == folder) return true;
    }
    // A folder that cannot be opened gets no lock; the operation itself then reports the error.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    for (;;) {
        int result = 0;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        result = ::flock(fd, LOCK_EX);
        error = errno;
        Py_END_ALLOW_THREADS
        if (result == 0) break;
        if (error != EINTR || PyErr_CheckSignals() < 0) {
            ::close(fd);
            if (!PyErr_Occurred()) {
                errno = error;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            }
            return false;
        }
    }
    fd_ = fd;
    folder_ = std::move(folder);
    folders_locked_by_this_thread.push_back(folder_);
    return true;
}

bool write_file_atomically(PyObject* path, std::string_view data) {
    std::string target;
    if (!resolve_target(path, target)) return false;
    // The errors that open(path, "w") gives for these, naming the path the caller gave.
    if (target.empty()) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return false;
    }
    const FileFacts facts = facts_of(target);
    if (facts.is_dir || target.back() == '/') {
        errno = EISDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return false;
    }
    int result = 0;
    int error = 0;
    bool folder_refused = false;
    Py_BEGIN_ALLOW_THREADS
    result = replace_file(target, facts, data, folder_refused);
    error = errno;
    Py_END_ALLOW_THREADS
    if (result != 0 && folder_refused) {
        raise_folder_not_writable(path, target, error);
        return false;
    }
    if (result != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return false;
    }
    return true;
}

bool write_json_file(PyObject* path, PyObject* obj) {
    Ref text = pyutil::json_dumps_indented(obj);
    if (!text) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return false;
    return write_file_atomically(path, std::string_view(utf8, static_cast<std::size_t>(size)));
}

}  // namespace plugins
