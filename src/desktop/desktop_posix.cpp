// The desktop on Linux: the chooser (zenity, kdialog), the opener (xdg-open), the error window.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "desktop.hpp"
#include "files/platform_file.hpp"

extern char** environ;

namespace palmconv::desktop {

namespace {

// Set by the desktop entry's Exec line on the runs the desktop starts.
constexpr char desktop_mark[] = "PALMCONV_DESKTOP_LAUNCH";

bool graphical_session() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

// The full path of an executable named `name` on PATH; empty when there is none.
std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    const std::string dirs = path;
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate =
            (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Attributes under which a helper starts as the caller started this program: every signal that
// this program ignores or answers for its own use back at its default (one the caller ignored
// stays ignored), and, if asked, in a session of its own.
struct SpawnAttributes {
    explicit SpawnAttributes(bool own_session) {
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int s : platform::signals_set_aside()) sigaddset(&defaults, s);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(
            &attributes,
            static_cast<short>(POSIX_SPAWN_SETSIGDEF | (own_session ? POSIX_SPAWN_SETSID : 0)));
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t attributes;
};

// Runs a chooser and returns what it printed, less the final newline; empty when it was cancelled.
std::string run_chooser(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    auto argv = argv_of(args);
    pid_t pid = 0;
    SpawnAttributes spawn(false);
    const bool started =
        posix_spawn(&pid, argv[0], &actions, &spawn.attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    std::string printed;
    char buffer[4096];
    ssize_t n = 0;
    while (started &&
           ((n = read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) printed.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (!started || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return {};
    }
    if (!printed.empty() && printed.back() == '\n') printed.pop_back();
    return printed;
}

// The dialog tool of this session: zenity, or kdialog where zenity is missing; empty for none.
struct DialogTool {
    std::string path;
    bool is_zenity = false;
};

DialogTool dialog_tool() {
    if (std::string zenity = find_on_path("zenity"); !zenity.empty()) return {zenity, true};
    return {find_on_path("kdialog"), false};
}

// Starts a program with its standard streams on /dev/null, in a session of its own when asked;
// its process ID, or -1 when it could not be started.
pid_t spawn_quiet(std::vector<std::string> args, bool own_session) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    SpawnAttributes spawn(own_session);
    auto argv = argv_of(args);
    pid_t pid = 0;
    const bool started =
        posix_spawn(&pid, argv[0], &actions, &spawn.attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started ? pid : -1;
}

// Runs a dialog that prints nothing of interest, and waits for it to be closed.
void run_dialog(std::vector<std::string> args) {
    const pid_t pid = spawn_quiet(std::move(args), false);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

Choice choose_input() {
    if (!graphical_session()) return {{}, false};
    const DialogTool tool = dialog_tool();
    if (tool.path.empty()) return {{}, false};
    if (tool.is_zenity) {
        return {run_chooser({tool.path, "--file-selection", "--title=Open",
                             "--file-filter=Palm Database Files (*.pdb) | *.pdb",
                             "--file-filter=All Files (*.*) | *"})};
    }
    return {run_chooser({tool.path, "--title", "Open", "--getopenfilename", ".",
                         "*.pdb|Palm Database Files (*.pdb)\n*|All Files (*.*)"})};
}

bool take_desktop_mark() {
    const char* mark = std::getenv(desktop_mark);
    const bool marked = mark != nullptr && std::strcmp(mark, "1") == 0;
    unsetenv(desktop_mark);
    return marked;
}

void show_failure(const std::string& message, bool person_at_desktop) {
    // A run from a terminal, a script or a service has its message where its caller reads it.
    if (!person_at_desktop || !graphical_session()) return;
    const DialogTool tool = dialog_tool();
    if (tool.path.empty()) return;
    if (tool.is_zenity) {
        run_dialog({tool.path, "--error", "--title=palmconv", "--no-markup", "--text=" + message});
    } else {
        run_dialog({tool.path, "--title", "palmconv", "--error", message});
    }
}

void launch(const std::string& path, bool person_at_desktop) {
    // Nobody running a command expects a window for every file it converts.
    if (!person_at_desktop || !graphical_session()) return;
    const std::string opener = find_on_path("xdg-open");
    if (opener.empty()) return;
    // A name starting with '-' would be taken for an option. In a session of its own, the opener
    // outlives this process and ignores the terminal's signals.
    spawn_quiet({opener, path[0] == '-' ? "./" + path : path}, true);
}

}  // namespace palmconv::desktop
