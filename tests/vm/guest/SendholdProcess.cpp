#include "SendholdProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vmtest {

namespace {

const char* binary() {
    return std::getenv("SENDHOLD_BIN");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool SendholdProcess::available() {
    return binary() != nullptr && access(binary(), X_OK) == 0;
}

SendholdProcess::SendholdProcess(const std::vector<std::string>& extraEnvironment) {
    if (!available()) throw std::runtime_error("SENDHOLD_BIN names no sendhold binary");
    static int count = 0;
    ++count;
    stdoutPath_ = "/tmp/sendhold-" + std::to_string(count) + ".out";
    stderrPath_ = "/tmp/sendhold-" + std::to_string(count) + ".err";
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "SENDHOLD_", 9) != 0) environment.emplace_back(*e);
    }
    environment.emplace_back("QT_QPA_PLATFORM=offscreen");
    for (const std::string& e : extraEnvironment) environment.push_back(e);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(binary()), nullptr};
        execve(binary(), argv, envp.data());
        _exit(127);
    }
}

SendholdProcess::~SendholdProcess() {
    if (pid_ <= 0) return;
    signal(SIGTERM);
    if (!waitForExit(std::chrono::seconds(5))) {
        signal(SIGKILL);
        waitForExit(std::chrono::seconds(5));
    }
}

bool SendholdProcess::waitUntilMonitoring(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFile(stdoutPath_).find("監視スタート") != std::string::npos) return true;
        if (!running() || waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void SendholdProcess::signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

bool SendholdProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string SendholdProcess::output() const {
    return "--- sendhold stdout:\n" + readFile(stdoutPath_) + "--- sendhold stderr:\n" +
           readFile(stderrPath_) + "---";
}

}  // namespace vmtest
