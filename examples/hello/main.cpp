// Hello: the smallest Qt app that updates itself with Sparkler. Its window shows its version
// and an "Install Update" button that is enabled once an update is downloaded and verified.
//
//   Hello [--manifest URL] [--ca-file PEM] [--update-and-quit] [--version]
//
// The manifest URL and an extra trusted CA file come from the options or from
// $HELLO_MANIFEST_URL and $HELLO_CA_FILE. --update-and-quit runs without a window: it waits
// for a check to find an update, installs it and exits 0, or 1 with the updater's reason.
#include <sparkler/Bundle.h>
#include <sparkler/QtMainLoop.h>
#include <sparkler/Sparkler.h>
#include <sparkler/SparklerConfiguration.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

namespace {

QString option(const QCommandLineParser& parser, const QString& name, const char* variable) {
  return parser.isSet(name) ? parser.value(name) : qEnvironmentVariable(variable);
}

// The updater's reason for the last failure of a check, or of an installation, for people.
QString reason(const sparkler::Sparkler& updater, bool installation = false) {
  const auto error = installation ? updater.lastUpdateError() : updater.lastError();
  return QString::fromStdString(error ? error->message : "no reason given");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const auto bundle = sparkler::Bundle::mainBundle();
  const QString version = QString::fromStdString(
      bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").value_or("unknown"));
  app.setApplicationVersion(version);

  QCommandLineParser parser;
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addOptions({{"manifest", "The update manifest's https URL.", "URL"},
                     {"ca-file", "A PEM file trusted besides the system's CAs.", "PEM"},
                     {"update-and-quit", "Install the first update found, then quit."}});
  parser.process(app);

  auto mainLoop = std::make_shared<sparkler::QtMainLoop>();

  sparkler::SparklerConfiguration configuration;
  configuration.manifestURL = option(parser, "manifest", "HELLO_MANIFEST_URL").toStdString();
  configuration.extraCAFile = option(parser, "ca-file", "HELLO_CA_FILE").toStdString();
  sparkler::SparklerError error;
  const auto updater = sparkler::Sparkler::create(configuration, {.mainLoop = mainLoop}, &error);
  if (!updater) {
    std::fprintf(stderr, "Hello %s: %s\n", qPrintable(version), error.message.c_str());
    return 1;
  }
  updater->start();

  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* label = new QLabel("Hello " + version);
  auto* status = new QLabel("Checking for updates…");
  auto* install = new QPushButton("Install Update");
  install->setEnabled(false);
  layout->addWidget(label);
  layout->addWidget(status);
  layout->addWidget(install);

  const bool headless = parser.isSet("update-and-quit");
  // A headless run ends at its first outcome: 0 once installed, else 1 and why.
  auto finish = [&](bool ok, const QString& why) {
    std::fprintf(ok ? stdout : stderr, "Hello %s: %s\n", qPrintable(version),
                 qPrintable(ok ? "update installed" : why));
    app.exit(ok ? 0 : 1);
  };
  auto installed = [&](bool ok) {
    if (headless) return finish(ok, reason(*updater, true));
    status->setText(ok ? "Installed: restart Hello to use it."
                       : "Not installed: " + reason(*updater, true));
  };
  QObject::connect(install, &QPushButton::clicked, [&] {
    install->setEnabled(false);
    status->setText("Installing…");
    updater->update(installed);
  });

  // The updater reports through its properties; the window looks at them twice a second.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!updater->updateAvailable()) {
      if (headless && updater->lastError()) finish(false, reason(*updater));
      return;
    }
    poll.stop();
    if (headless) {
      updater->update(installed);
    } else {
      install->setEnabled(true);
      status->setText("An update is ready.");
    }
  });
  poll.start(500);

  if (headless) {
    // A check that completes without an update waits for the next one: give up long before.
    QTimer::singleShot(std::chrono::minutes(3), [&] { finish(false, "no update found"); });
  } else {
    window.show();
  }
  const int result = app.exec();
  mainLoop->close();
  return result;
}
