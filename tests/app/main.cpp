#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>

// The GUI tests need an application object; the offscreen platform draws without a display.
int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
