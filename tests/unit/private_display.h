// A private Xvfb server for the tests that need a display, and the start-up
// steps up to the icons on it. Never touches the user's display.
#pragma once

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <Xm/MainW.h>
#include <Xm/Xm.h>

#include "app/Icons.h"
#include "app/Startup.h"

namespace private_display {

inline pid_t server_pid = -1;

// Starts Xvfb on a free display number; returns its name, "" on failure.
inline std::string start_server()
{
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);   // never outlive the test
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
               "800x600x24", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    server_pid = pid;
    std::string number;
    char ch;
    while (pid > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n')
        number += ch;
    close(fds[0]);
    return number.empty() ? "" : ":" + number;
}

struct StopServer : ::testing::Environment {
    void TearDown() override
    {
        if (server_pid > 0) {
            kill(server_pid, SIGTERM);
            waitpid(server_pid, nullptr, 0);
            server_pid = -1;
        }
    }
};
inline auto* const stop_server = ::testing::AddGlobalTestEnvironment(new StopServer);

// Start-up as far as the icons: toolkit and settings with the fallback
// resources, the main window, the realized shell, create_icons. Once per
// process; false when no server could be started.
inline bool started()
{
    static bool done = false, ok = false;
    if (done)
        return ok;
    done = true;
    static std::string display = start_server();
    if (display.empty())
        return false;
    static char arg0[] = "test", arg1[] = "-display";
    static char* argv[] = {arg0, arg1, display.data(), nullptr};
    int argc = 3;
    initialize_settings(argc, argv);
    main_window = XmCreateMainWindow(toplevel, const_cast<char*>("MainWindow"), nullptr, 0);
    XtVaSetValues(main_window, XmNwidth, 100, XmNheight, 100, nullptr);
    XtManageChild(main_window);
    XtRealizeWidget(toplevel);
    create_icons();
    return ok = true;
}

}  // namespace private_display
