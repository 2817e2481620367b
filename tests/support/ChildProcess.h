#pragma once

// A program run as a child process with its stdout and stderr in a file; killed when it goes.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velunto {

class ChildProcess {
public:
    ChildProcess(const std::string& program, std::vector<std::string> arguments, std::string outputPath)
        : output_(std::move(outputPath)) {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ChildProcess() { kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // The exit status, waiting for it; -1 if it did not exit normally.
    int wait() {
        int status = -1;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream file(output_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    pid_t pid_ = -1;
    std::string output_;
};

}  // namespace velunto
