#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vmtest {

// The real sendhold binary (path in $SENDHOLD_BIN), started as a user would,
// with no display (QT_QPA_PLATFORM=offscreen). Its standard output and error
// go to files so that a failing test can show them.
class SendholdProcess {
  public:
    explicit SendholdProcess(const std::vector<std::string>& extraEnvironment = {});
    ~SendholdProcess();
    SendholdProcess(const SendholdProcess&) = delete;
    SendholdProcess& operator=(const SendholdProcess&) = delete;

    // Waits until the program printed that its keyboard hook runs.
    bool waitUntilMonitoring(std::chrono::milliseconds timeout);
    void signal(int number);
    // Waits for the process to end; false if it did not within the timeout.
    bool waitForExit(std::chrono::milliseconds timeout);
    bool running() const { return pid_ > 0; }
    std::string output() const;

    static bool available();

  private:
    pid_t pid_ = -1;
    std::string stdoutPath_;
    std::string stderrPath_;
};

}  // namespace vmtest
