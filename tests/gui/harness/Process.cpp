// Scratch directories, the program under test, and forked in-process runs.
#include "gui/harness/GuiHarness.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

Clock::time_point deadline_after(double seconds)
{
    return Clock::now() + std::chrono::milliseconds(long(seconds * 1000));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    ::remove(path);
    return 0;
}

// In a child between fork and exec: every descriptor but 0, 1 and 2 goes.
void close_other_fds(int keep = -1)
{
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keep)
            close(fd);
}

void redirect(int target, const char* path, int flags)
{
    int fd = open(path, flags, 0644);
    if (fd >= 0 && fd != target) {
        dup2(fd, target);
        close(fd);
    }
}

}  // namespace

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zen-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir()
{
    if (!path_.empty())
        nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool TempDir::write(const std::string& name, const std::string& contents) const
{
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    return bool(out);
}

Program::Program(const XServer& server, std::vector<std::string> args, Env env, Launch launch)
{
    const std::string binary = launch.binary.empty() ? std::string(ZEN_BINARY) : launch.binary;
    argv0_ = launch.argv0.empty() ? binary : launch.argv0;
    const std::string cwd = launch.cwd.empty() ? dir_.path() : launch.cwd;
    // The captured output lives beside the working directory, not in it.
    out_path_ = dir_.path() + ".stdout";
    err_path_ = dir_.path() + ".stderr";
    if (dir_.path().empty()) {
        error_ = "cannot make a scratch directory";
        return;
    }

    std::vector<std::string> envs = make_environment(server, dir_.path(), env);
    std::vector<std::string> argv_strings;
    argv_strings.push_back(argv0_);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_strings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // The child reports a failed exec through this pipe; a successful exec
    // closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const pid_t parent = getpid();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        close(report[0]);
        int err = 0;
        if (chdir(cwd.c_str()) != 0)
            err = errno;
        redirect(0, "/dev/null", O_RDONLY);
        redirect(1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        redirect(2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        close_other_fds(report[1]);
        if (!err) {
            execve(binary.c_str(), argv.data(), envp.data());
            err = errno;
        }
        ssize_t ignored = ::write(report[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int child_err = 0;
    ssize_t got;
    do
        got = read(report[0], &child_err, sizeof child_err);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == sizeof child_err) {
        error_ = "cannot start " + binary + " in " + cwd + ": " + std::strerror(child_err);
        int status;
        waitpid(pid, &status, 0);
        return;
    }
    pid_ = pid;
}

Program::~Program()
{
    if (pid_ > 0 && !ended_)
        kill(SIGKILL);
    if (!out_path_.empty()) {
        ::remove(out_path_.c_str());
        ::remove(err_path_.c_str());
    }
}

void Program::reap(int status)
{
    ended_ = true;
    exited_ = WIFEXITED(status);
    code_ = exited_ ? WEXITSTATUS(status) : WTERMSIG(status);
}

bool Program::running()
{
    if (pid_ <= 0 || ended_)
        return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reap(status);
        return false;
    }
    return r == 0;
}

bool Program::wait_exit(double timeout)
{
    if (pid_ <= 0)
        return false;
    const auto deadline = deadline_after(timeout);
    while (running()) {
        if (remaining_ms(deadline) == 0)
            return !running();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ended_;
}

std::string Program::describe()
{
    if (pid_ <= 0)
        return "not started (" + error_ + ")";
    if (running())
        return "running";
    if (exited())
        return "exit status " + std::to_string(code_);
    if (signalled())
        return "killed by signal " + std::to_string(code_);
    return "lost";
}

std::string Program::stderr_text() const
{
    return read_file(err_path_);
}

std::string Program::stdout_text() const
{
    return read_file(out_path_);
}

bool Program::wait_stderr(const std::string& needle, double timeout)
{
    return wait_until([&] { return stderr_text().find(needle) != std::string::npos; }, timeout);
}

void Program::kill(int sig)
{
    if (pid_ <= 0 || !running())
        return;
    ::kill(pid_, sig);
    if (sig != SIGKILL && wait_exit(default_timeout))
        return;
    if (sig != SIGKILL)
        ::kill(pid_, SIGKILL);
    int status;
    if (waitpid(pid_, &status, 0) == pid_)
        reap(status);
}

ChildResult run_forked(const XServer& server, const std::function<void(std::string&)>& body,
                       const Env& env, double timeout)
{
    ChildResult result;
    TempDir dir;
    const std::string err_path = dir.file("stderr");
    std::vector<std::string> envs = make_environment(server, dir.path(), env);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    const pid_t parent = getpid();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        result.err = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        close(fds[0]);
        if (chdir(dir.path().c_str()) != 0)
            _exit(126);
        clearenv();
        for (auto& e : envs)
            putenv(e.data());
        redirect(0, "/dev/null", O_RDONLY);
        redirect(1, "/dev/null", O_WRONLY);
        redirect(2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        std::string out;
        body(out);
        std::fflush(nullptr);
        const char* p = out.data();
        size_t left = out.size();
        while (left > 0) {
            ssize_t n = ::write(fds[1], p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= size_t(n);
        }
        _exit(0);
    }
    close(fds[1]);
    const auto deadline = deadline_after(timeout);
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        int n = poll(&p, 1, remaining_ms(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result.timed_out = true;
            break;
        }
        char buf[4096];
        ssize_t got = read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        result.output.append(buf, size_t(got));
    }
    close(fds[0]);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && !result.timed_out) {
        if (remaining_ms(deadline) == 0)
            result.timed_out = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (r == 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    result.err = read_file(err_path);
    return result;
}

}  // namespace harness
