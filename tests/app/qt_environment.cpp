// One QApplication for the whole test run, on the offscreen platform so the tests need no display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <memory>

namespace {

class QtApplicationEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
        m_application = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_application.reset(); }

  private:
    int m_argc = 1;
    char m_name[10] = "app_tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
};

// Registered before main() runs; GoogleTest owns the environment from here on.
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace
