// Shared test main. Tests that need Qt link lumeno_test_main_qt, which creates the application
// object before any test runs, as Qt requires.
#include <gtest/gtest.h>

#include <csignal>

#if defined(LUMENO_TEST_WITH_WIDGETS)
#include <QApplication>
#elif defined(LUMENO_TEST_WITH_QT)
#include <QCoreApplication>
#endif

int main(int argc, char** argv) {
    // A peer that closes mid-write must surface as an error code, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
#if defined(LUMENO_TEST_WITH_WIDGETS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#elif defined(LUMENO_TEST_WITH_QT)
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
