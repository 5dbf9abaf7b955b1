#pragma once

namespace sendhold {

// The application: a QApplication that keeps running with no window, and the
// one AppDelegate, whose start-up runs as soon as the event loop does.
class SendholdApp {
  public:
    static int main(int argc, char** argv);

    // With no graphical session Qt would abort; pick the offscreen platform then,
    // so the guard still runs (with no icon). A display that cannot be opened
    // falls back to offscreen as well. An explicit QT_QPA_PLATFORM is kept.
    static void chooseHeadlessPlatform();
};

}  // namespace sendhold
