#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <sstream>

#include "Diagnostics.h"
#include "app/ServiceLink.h"

using namespace sendhold;

namespace {

// A stand-in for the keyboard service: a listening socket; each step runs on
// another thread while the link waits on this one.
class FakeService {
  public:
    explicit FakeService(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
    }
    ~FakeService() { ::close(fd_); }
    // Accepts a client, reads until `lines` lines came, then answers `reply`.
    std::future<int> answer(int lines, std::string reply) {
        return std::async(std::launch::async, [this, lines, reply] {
            const int c = ::accept(fd_, nullptr, nullptr);
            for (int seen = 0; seen < lines && readSome(c);)
                seen = int(std::count(heard.begin(), heard.end(), '\n'));
            ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            return c;
        });
    }
    bool readSome(int c, int timeoutMs = 3000) {
        pollfd p{c, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = ::read(c, buffer, sizeof buffer);
        if (n > 0) heard.append(buffer, size_t(n));
        return n > 0;
    }
    std::string heard;

  private:
    int fd_;
};

struct LinkTest : ::testing::Test {
    QTemporaryDir dir;
    std::string path = dir.filePath("s").toStdString();
    std::ostringstream problems;
    bool guardOn = true, composing = false;
    std::optional<double> stored;
    ServiceLink link{path,
                     {[this] { return guardOn; }, [this] { return stored; },
                      [this] { return composing; }, [] { return false; }}};
    void SetUp() override { diagnosticStreams().problems = &problems; }
    void TearDown() override { diagnosticStreams().problems = &std::cerr; }
};

}  // namespace

TEST_F(LinkTest, TellsTheStateSendsOnlyChangesAndTellsItAgainAfterTheServiceCameBack) {
    FakeService service(path);
    auto first = service.answer(4, "STATUS guarding\n");
    ASSERT_TRUE(link.create());
    const int c = first.get();
    EXPECT_EQ(service.heard, "HELLO 1\nGUARD on\nDURATION absent\nCOMPOSITION none\n");
    link.enable();
    service.heard.clear();
    guardOn = false, stored = 0.7;
    link.pushState();
    link.pushState();
    composing = true;
    link.pushState();
    ASSERT_TRUE(service.readSome(c));
    while (std::count(service.heard.begin(), service.heard.end(), '\n') < 3) service.readSome(c);
    EXPECT_EQ(service.heard, "GUARD off\nDURATION 0.7\nCOMPOSITION active\n");

    // The service goes away: said once, then the link comes back with the whole state.
    service.heard.clear();
    auto second = service.answer(4, "STATUS guarding\n");
    ::close(c);
    const auto ready = [&] {
        return second.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready() && link.guarding(); }, 3000));
    ::close(second.get());
    EXPECT_EQ(service.heard, "HELLO 1\nGUARD off\nDURATION 0.7\nCOMPOSITION active\n");
    EXPECT_NE(problems.str().find("went away"), std::string::npos);
    EXPECT_NE(problems.str().find("guards again"), std::string::npos);
}

// Qt's own warnings, such as a notifier left on a closed descriptor.
QStringList qtWarnings;

// A socket that is missing (the package removed, or its socket restarted by an
// upgrade) is waited for, also when its directory is gone too; a refusal is final.
TEST_F(LinkTest, AwaitsAMissingSocketAndTakesARefusalAsFinal) {
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { qtWarnings << text; });
    const std::string run = dir.filePath("run").toStdString(), inRun = run + "/s";
    ServiceLink awaiting{inRun, {}};
    EXPECT_FALSE(awaiting.create());
    EXPECT_NE(problems.str().find("not installed"), std::string::npos);
    awaiting.enable();
    QTest::qWait(50);
    ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
    for (int round = 0; round < 2; ++round) {
        QTest::qWait(50);
        auto service = std::make_unique<FakeService>(inRun);
        auto answered = service->answer(4, "STATUS guarding\n");
        ASSERT_TRUE(QTest::qWaitFor([&] { return awaiting.guarding(); }, 3000)) << round;
        ::close(answered.get());
        service.reset();
        ::unlink(inRun.c_str());
        // Bare event loop turns: a notifier left on the closed socket is polled
        // before anything deletes it.
        for (int turn = 0; turn < 300 && awaiting.connected(); ++turn) {
            QCoreApplication::processEvents();
            QTest::qSleep(10);
        }
        ASSERT_FALSE(awaiting.connected());
        QCoreApplication::processEvents();
    }
    QTest::qWait(50);
    qInstallMessageHandler(nullptr);
    EXPECT_TRUE(qtWarnings.isEmpty()) << qtWarnings.join('\n').toStdString();

    FakeService service(path);
    auto refused = service.answer(4, "REFUSED a remote session\n");
    EXPECT_FALSE(link.create());
    ::close(refused.get());
    EXPECT_NE(problems.str().find("refused: a remote session"), std::string::npos);
    link.enable();
    QTest::qWait(300);
    EXPECT_FALSE(link.connected());
}
