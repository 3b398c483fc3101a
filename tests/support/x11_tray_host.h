// A real X11 tray host for the tray tests: an Xvfb server on a display it
// picks itself (-displayfd) and trayer as the XEmbed tray, a 32-pixel panel
// at the top right. Once the server runs, DISPLAY names it.
//
//   test_support::x11_tray_host host;          // one per test process
//   host.start("640x420x24");                  // in main, before QApplication
//   if (!host.skip_reason().empty()) GTEST_SKIP() << host.skip_reason();
//   ASSERT_TRUE(host.start_error().empty()) << host.start_error();
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace test_support {

// posix_spawnp with this process's environment (the test process has threads
// once Qt runs). Descriptors without close-on-exec are inherited. -1 when the
// program cannot be started.
pid_t spawn(const std::vector<std::string>& args);
// SIGTERM, then waits for the process; pid becomes -1. Nothing for pid <= 0.
void stop_process(pid_t& pid);
// An executable of that name is on PATH.
bool on_path(const std::string& program);

class x11_tray_host {
  public:
    x11_tray_host() = default;
    ~x11_tray_host() { stop(); }
    x11_tray_host(const x11_tray_host&) = delete;
    x11_tray_host& operator=(const x11_tray_host&) = delete;

    // Starts Xvfb with one screen of `screen` (WxHxDepth) and trayer on it.
    // Without Xvfb or trayer installed, nothing starts and skip_reason() says
    // so; when Xvfb does not come up, start_error() says so.
    void start(const std::string& screen);
    // Stops trayer, then the server.
    void stop();
    // trayer alone (a test that takes the tray host away and brings it back).
    void start_tray();
    void stop_tray();

    // Why the tests cannot run here ("" when they can).
    const std::string& skip_reason() const { return skip_; }
    // The tools are installed but did not start ("" when they did).
    const std::string& start_error() const { return error_; }
    // Both run: Qt's xcb platform can be used.
    bool running() const { return skip_.empty() && error_.empty() && server_ > 0; }

  private:
    bool start_server(const std::string& screen);

    pid_t server_ = -1;
    pid_t tray_ = -1;
    std::string skip_;
    std::string error_;
};

} // namespace test_support
