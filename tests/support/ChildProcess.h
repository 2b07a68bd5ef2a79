#pragma once

// Real child processes for the tests that run programs beside each other:
// start one with its standard error in a file and variables of its own,
// wait for it, and wait for a condition with a deadline instead of a fixed
// sleep.

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zelmora::test {

// Runs `program` with `arguments` (argv[0] is `program`), its standard
// error to the file `err` where one is named, with this process's
// environment and `environment` ("NAME=value", replacing a variable of the
// same name). Everything is prepared before the fork: the child only
// redirects and executes.
inline pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& err = {}, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& own : environment) {
            replaced = replaced || own.starts_with(name);
        }
        if (!replaced) {
            variables.push_back(text);
        }
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> texts = {program};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        if (!err.empty()) {
            const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(errFd, 2);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return child;
}

// Its exit status, or 128 + the signal that ended it; -1 when it is no
// child of this process.
inline int Wait(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// True, with its status as Wait gives it, when the child has ended.
inline bool Exited(pid_t child, int& status) {
    int raw = 0;
    if (::waitpid(child, &raw, WNOHANG) != child) {
        return false;
    }
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

// Waits until `condition` holds (true) or `limit` passes (false).
inline bool Eventually(const auto& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace zelmora::test
