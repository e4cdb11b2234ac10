// Test main for modules that need Qt: an application object on the offscreen
// platform (no display), then every test.
#ifdef VEXIL_QT_CORE_ONLY
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#else
#include <QApplication>
using TTestApplication = QApplication;
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  TTestApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
