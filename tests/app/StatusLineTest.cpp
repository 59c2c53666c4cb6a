#include "tove/StatusLine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QRegularExpression>
#include <QWidget>

#include "AppTestSupport.h"
#include "sparkler/Bundle.h"
#include "sparkler/Dispatch.h"
#include "sparkler/QtMainLoop.h"
#include "sparkler/Sparkler.h"
#include "sparkler/testing/TempDir.h"
#include "tove/AppDelegate.h"
#include "tove/Interface.h"

namespace tove {
namespace {

using namespace sparkler;
namespace testing = sparkler::testing;
namespace fs = std::filesystem;
using Phase = SparklerProgress::Phase;

constexpr char kManifestURL[] = "https://updates.example.com/assets/Tove/software/mac/_.json";

SparklerError error(SparklerErrc errc, std::string message) {
  return {make_error_code(errc), std::move(message)};
}

// A failure the window shows in its states (StatusScreens) leads with a phrase for its code and
// names the server; here, the rest: other categories, causes too long for the label, none.
TEST(StatusLine, FailuresLeadWithAPhraseAndKeepTheirWholeCauseOutOfTheLabel) {
  QLocale::setDefault(QLocale::c());
  QLabel label;
  StatusLine line;
  line.setWidgets(&label, nullptr);

  // Other categories, and messages naming no URL, are said whole.
  line.failed(SparklerError{std::make_error_code(std::errc::io_error), "disk on fire"}, "", false);
  EXPECT_EQ(label.text(), "Input/output error: disk on fire.");

  // A long cause from a server: the label shortens it, keeps the lead and the warning; the
  // tooltip and the accessible description have it all, the tooltip escaped.
  const std::string cause = "<b>" + std::string(2000, 'x') + " tail</b>";
  line.failed(error(SparklerErrc::replaceFailed, cause), kManifestURL, true);
  EXPECT_TRUE(label.text().startsWith("Installation failed: Could not replace Tove's files: <b>"));
  EXPECT_EQ(label.textFormat(), Qt::PlainText);
  EXPECT_TRUE(label.text().endsWith("xx tail</b>. Relaunch starts the old version.") &&
              label.text().contains("xx … xx"))
      << label.text().toStdString();
  EXPECT_LT(label.text().size(), StatusLine::kShownCause + 100);
  EXPECT_TRUE(label.accessibleDescription().contains(" tail</b>. Relaunch"));
  EXPECT_TRUE(label.toolTip().contains("&lt;b&gt;x"));
  EXPECT_FALSE(label.toolTip().contains("<b>"));

  line.failed(std::nullopt, kManifestURL, true);
  EXPECT_EQ(label.text(), "Installation failed. Relaunch starts the old version.");

  EXPECT_EQ(StatusLine::size(512), "512 bytes");
  EXPECT_EQ(StatusLine::size(3'149'999), "3.1 MB");
}

// Whether the window reads well in a state: nothing is cut off, the status line included.
void expectNothingClipped(QWidget& window, const QString& state) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  auto* label = window.findChild<QLabel*>("statusLabel");
  EXPECT_GE(label->height(), label->heightForWidth(label->width())) << state.toStdString();
  for (auto* child : window.findChildren<QWidget*>()) {
    if (!child->isVisible() || child->inherits("QLabel") || child->inherits("QMenu")) continue;
    EXPECT_GE(child->width(), child->minimumSizeHint().width())
        << state.toStdString() << ": " << child->objectName().toStdString();
  }
}

// Drives the window through every state of the updater and saves a picture of each into
// $TOVE_SCREENSHOTS (else a temporary folder), names ending in "@2x" at twice the scale.
TEST(StatusScreens, EachStateIsSaidOnTheStatusLine) {
  QLocale::setDefault(QLocale::c());
  testing::TempDir temp;
  const char* folder = std::getenv("TOVE_SCREENSHOTS");
  const fs::path out = folder != nullptr && *folder != '\0' ? fs::path(folder) : temp.path();
  fs::create_directories(out);
  auto mainLoop = std::make_shared<QtMainLoop>();
  dispatch::setMainLoop(mainLoop);
  auto sparkler = Sparkler::sparkler();
  ASSERT_FALSE(sparkler->manifest()) << "run through ctest: the updater must be unconfigured";

  Bundle::overrideMainBundlePath(testing::makeAppBundle(temp.path(), "1.0.0"));
  auto window = Interface::load(fs::path(TOVE_TEST_RESOURCES) / "MainWindow.ui");
  ASSERT_TRUE(window);
  auto delegate = std::make_shared<AppDelegate>("");
  ASSERT_TRUE(Interface::connect(*qApp, *window, delegate));
  window->show();
  QCoreApplication::processEvents();
  auto* label = window->findChild<QLabel*>("statusLabel");
  auto* bar = window->findChild<QProgressBar*>("progressBar");
  const QString scale = window->devicePixelRatio() > 1.5 ? "@2x" : "";
  int shot = 0;
  const auto save = [&](const char* state) {
    expectNothingClipped(*window, state);
    const auto name = QString("%1-%2%3.png").arg(++shot).arg(state, scale);
    EXPECT_TRUE(window->grab().save(QString::fromStdString((out / name.toStdString()).string())));
  };

  delegate->updaterReported({Phase::Checking});
  EXPECT_EQ(label->text(), "Checking for updates…");
  save("checking");

  delegate->updaterReported({Phase::Checked});
  EXPECT_TRUE(QRegularExpression("^Up to date \\(checked at \\d\\d:\\d\\d\\)$")
                  .match(label->text())
                  .hasMatch())
      << label->text().toStdString();
  save("up-to-date");

  delegate->updaterReported({Phase::Downloading, 3'100'000, 12'000'000});
  EXPECT_EQ(label->text(), "Downloading the update…");
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->text(), "25% — 3.1 MB of 12.0 MB");
  save("downloading");

  // An update whose image is not in the cache: its installation fails, with the reason.
  sparkler->setUpdates(std::make_shared<const nlohmann::json>(nlohmann::json::array(
      {{{"version", "1.0.1"}, {"name", "Tove-1.0.1.dmg"}, {"hash", "0"}, {"size", 1}}})));
  sparkler->setUpdateAvailable(true);
  delegate->updaterReported({Phase::Verified});
  EXPECT_EQ(label->text(), "Update 1.0.1 verified, ready to install");
  EXPECT_FALSE(bar->isVisible());
  save("ready");

  delegate->update();
  delegate->updaterReported({Phase::Copying, 4'200'000});
  delegate->updaterReported({Phase::Checking});  // a check meanwhile is not shown
  EXPECT_EQ(label->text(), "Installing: copying the new version (4.2 MB)…");
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->maximum(), 0) << "busy";
  save("installing");

  ASSERT_TRUE(testing::waitUntil([&] { return !delegate->installing(); }));
  EXPECT_EQ(label->text(),
            "Installation failed: The downloaded update is gone: its disk image is no longer in "
            "the cache. Relaunch starts the old version.");
  delegate->updaterReported({Phase::Checked});  // the outcome stays until the next installation
  EXPECT_TRUE(label->text().startsWith("Installation failed"));
  EXPECT_FALSE(bar->isVisible());
  save("install-failed");

  delegate->statusLine().installed(Version::versionWithString("1.0.1"));
  EXPECT_EQ(label->text(), "Update 1.0.1 installed — relaunch to finish");
  save("installed");

  delegate->statusLine().failed(error(SparklerErrc::manifestUnreachable,
                                      std::string("cannot fetch the manifest ") + kManifestURL +
                                          ": Connection timed out after 30001 milliseconds"),
                                kManifestURL, false);
  EXPECT_EQ(label->text(),
            "Could not reach updates.example.com: Connection timed out after 30001 milliseconds.");
  save("check-failed");

  sparkler->setObserver({});
  sparkler->setUpdateAvailable(false);
  sparkler->setUpdates(nullptr);
  window.reset();
  dispatch::setMainLoop(nullptr);
  mainLoop->close();
  Bundle::overrideMainBundlePath(std::nullopt);
}

}  // namespace
}  // namespace tove
