// Shared by the tests that need a sound device: scratch files, descriptor
// counts, and running this test program again as a child under the
// simulated device (libsimdsp.so preloaded), so that the preload never
// touches the test process itself and works in the sanitizer build as well.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace simchild {

// Open descriptors of this process.
inline int count_fds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// A fresh directory, removed with its files at the end of the test.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/zen_test_XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
    }
    ~TempDir()
    {
        const std::string cmd = "rm -rf '" + path + "'";
        if (path != "/tmp" && system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct ChildResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err, log, dump, played;
    std::vector<std::string> out_lines() const { return lines(out); }
    std::vector<std::string> err_lines() const { return lines(err); }
    std::vector<std::string> log_lines() const { return lines(log); }
};

// Runs this program again with the script in the variable script_var and a
// dump file named in dump_var, under the simulated device: unpaced, with its
// log and play file collected (SIMDSP_* of the test's own environment are
// dropped; vars come last and override everything).
inline ChildResult run_child(const char* script_var, const char* dump_var, const std::string& script,
                             const std::map<std::string, std::string>& vars = {})
{
    TempDir dir;
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq == std::string::npos || kv.compare(0, 7, "SIMDSP_") == 0)
            continue;
        env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env[script_var] = script;
    env[dump_var] = dir / "dump";
    env["LD_PRELOAD"] = ZEN_SIMDSP;
    env["SIMDSP_LOG"] = dir / "log";
    env["SIMDSP_PLAY_FILE"] = dir / "played";
    env["SIMDSP_PACE"] = "fast";
    // The simulated device is not instrumented and is loaded first.
    const std::string asan = env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "";
    env["ASAN_OPTIONS"] = asan + "verify_asan_link_order=0";
    for (const auto& kv : vars)
        env[kv.first] = kv.second;

    std::vector<std::string> strings;
    for (const auto& kv : env)
        strings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& s : strings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    const std::string out_path = dir / "out", err_path = dir / "err";
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        execve(self, argv, envp.data());
        _exit(127);
    }
    ChildResult r;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    r.log = read_file(dir / "log");
    r.dump = read_file(dir / "dump");
    r.played = read_file(dir / "played");
    return r;
}

} // namespace simchild
