#include "tove/StatusLine.h"

#include <algorithm>
#include <string>

#include <QLocale>

namespace tove {

using namespace sparkler;

namespace {

// The host (with its port) of an https URL; the whole text when it names none.
QString hostOf(std::string_view url) {
  const auto scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  return QString::fromUtf8(url.substr(0, url.find_first_of("/?#")));
}

// A lead phrase for each failure, by the code's stable name; %1 is the server.
struct Lead {
  std::string_view name;
  const char* text;
};
constexpr Lead kLeads[] = {
    {"manifest-unreachable", "Could not reach %1"},
    {"manifest-unreadable", "%1 sent an unreadable list of updates"},
    {"no-current-version", "This copy of Tove has no readable version"},
    {"newest-entry-invalid", "The newest update is listed wrongly"},
    {"image-unreachable", "Could not download the update"},
    {"image-mismatch", "The downloaded update is damaged"},
    {"cache-not-writable", "Could not store the update"},
    {"no-update-available", "No update is ready to install"},
    {"attach-failed", "Could not open the update's disk image"},
    {"item-refused", "The update's disk image holds no usable Tove"},
    {"contents-refused", "The update is not the Tove that was offered"},
    {"replace-failed", "Could not replace Tove's files"},
    {"stalled", "The update's disk image stopped responding"},
    {"unusable-configuration", "The updater is not set up"},
    {"out-of-memory", "Out of memory"},
    {"signature-missing", "The list of updates from %1 is not signed"},
    {"signature-invalid", "The list of updates has an invalid signature"},
    {"signature-expired", "The signature of the list of updates has expired"},
    {"signature-untrusted", "The list of updates is signed by an unknown key"},
};

// `text` at most about `limit` characters long: causes nest ("tool failed: image: reason"), so
// its start and its end are kept, cut at words, with an ellipsis between them.
QString shortened(const QString& text, qsizetype limit) {
  if (text.size() <= limit) return text;
  const qsizetype headLimit = limit * 2 / 5;
  const qsizetype tailLimit = limit - headLimit - 3;
  qsizetype head = text.lastIndexOf(QLatin1Char(' '), headLimit);
  if (head < headLimit / 2) head = headLimit;
  qsizetype tail = text.indexOf(QLatin1Char(' '), text.size() - tailLimit);
  if (tail < 0 || tail > text.size() - tailLimit / 2) tail = text.size() - tailLimit;
  return text.left(head).trimmed() + QStringLiteral(" … ") + text.mid(tail).trimmed();
}

QString versionText(const std::optional<Version>& version) {
  return version ? QStringLiteral(" ") + QString::fromStdString(version->description()) : QString();
}

}  // namespace

void StatusLine::setWidgets(QLabel* label, QProgressBar* bar) {
  label_ = label;
  bar_ = bar;
  // Causes quote what servers and images said: never read as markup, whatever the form set.
  if (label_) label_->setTextFormat(Qt::PlainText);
}

void StatusLine::checking() {
  message(QStringLiteral("Checking for updates…"));
}

void StatusLine::upToDate(QTime checkedAt, bool asked) {
  const QString at = checkedAt.toString(u"HH:mm");
  message(asked ? QStringLiteral("No update available: up to date (last checked at %1)").arg(at)
                : QStringLiteral("Up to date (checked at %1)").arg(at));
}

void StatusLine::downloading(std::uint64_t bytes, std::uint64_t expected) {
  const int percent =
      expected == 0 ? 0
                    : static_cast<int>(std::min<std::uint64_t>(bytes, expected) * 100 / expected);
  const QString text = QStringLiteral("Downloading the update…");
  show(text, text, Bar::percent, percent,
       QStringLiteral("%p% — %1 of %2").arg(size(bytes), size(expected)));
}

void StatusLine::ready(const std::optional<Version>& version) {
  message(QStringLiteral("Update%1 verified, ready to install").arg(versionText(version)));
}

void StatusLine::installing(const SparklerProgress& progress) {
  using Phase = SparklerProgress::Phase;
  QString text;
  switch (progress.phase) {
    case Phase::Attaching:
      text = QStringLiteral("Installing: opening the update's disk image…");
      break;
    case Phase::Copying:
      text = progress.bytes == 0 ? QStringLiteral("Installing: copying the new version…")
                                 : QStringLiteral("Installing: copying the new version (%1)…")
                                       .arg(size(progress.bytes));
      break;
    case Phase::Replacing:
      text = QStringLiteral("Installing: checking the copy and putting it in place…");
      break;
    case Phase::Detaching:
      text = QStringLiteral("Installing: closing the disk image…");
      break;
    default:
      text = QStringLiteral("Installing the update…");
      break;
  }
  show(text, text, Bar::busy);
}

void StatusLine::installed(const std::optional<Version>& version) {
  message(QStringLiteral("Update%1 installed — relaunch to finish").arg(versionText(version)));
}

void StatusLine::failed(const std::optional<SparklerError>& error, std::string_view manifestURL,
                        bool installation) {
  const QString before = installation ? QStringLiteral("Installation failed") : QString();
  const QString after =
      installation ? QStringLiteral(" Relaunch starts the old version.") : QString();
  if (!error) {
    const QString text = installation ? before + QLatin1Char('.') + after
                                      : QStringLiteral("The update check failed.");
    show(text, text, Bar::hidden);
    return;
  }
  // At installation time the image was downloaded before: unreachable, it has gone missing.
  const QString what = installation && error->code == SparklerErrc::imageUnreachable
                           ? QStringLiteral("The downloaded update is gone")
                           : lead(*error, manifestURL);
  const QString head = installation ? before + QStringLiteral(": ") + what : what;
  QString reason = cause(*error);
  if (reason.endsWith(QLatin1Char('.'))) reason.chop(1);
  const auto line = [&](const QString& shownCause) {
    const QString sentence = shownCause.isEmpty() ? head : head + QStringLiteral(": ") + shownCause;
    return sentence + QLatin1Char('.') + after;
  };
  show(line(shortened(reason, kShownCause)), line(reason), Bar::hidden);
}

void StatusLine::message(const QString& text) {
  show(text, text, Bar::hidden);
}

QString StatusLine::lead(const SparklerError& error, std::string_view manifestURL) {
  const std::string name = errorCodeName(error.code);
  for (const auto& lead : kLeads) {
    if (lead.name != name) continue;
    QString text = QString::fromUtf8(lead.text);
    return text.contains(QLatin1String("%1")) ? text.arg(hostOf(manifestURL)) : text;
  }
  QString text = QString::fromStdString(error.code.message());
  if (!text.isEmpty()) text[0] = text[0].toUpper();
  return text.isEmpty() ? QStringLiteral("The update failed") : text;
}

QString StatusLine::cause(const SparklerError& error) {
  const std::string_view message = error.message;
  // The URL is said once, by the lead phrase (or the tooltip's whole text).
  const auto url = message.find("https://");
  if (url != std::string_view::npos) {
    const auto colon = message.find(": ", url);
    if (colon != std::string_view::npos && colon + 2 < message.size()) {
      return QString::fromUtf8(message.substr(colon + 2));
    }
  }
  return QString::fromUtf8(message);
}

QString StatusLine::size(std::uint64_t bytes) {
  const QLocale locale;
  const auto scaled = [&](double unit, const char* name) {
    return locale.toString(static_cast<double>(bytes) / unit, 'f', 1) + QLatin1String(name);
  };
  if (bytes < 1000) return QStringLiteral("%1 bytes").arg(bytes);
  if (bytes < 1000 * 1000) return scaled(1e3, " kB");
  if (bytes < 1000ull * 1000 * 1000) return scaled(1e6, " MB");
  return scaled(1e9, " GB");
}

void StatusLine::show(const QString& shown, const QString& whole, Bar bar, int percent,
                      const QString& format) {
  text_ = whole;
  if (label_) {
    label_->setText(shown);
    // Rich text in a tooltip is escaped: a cause may quote whatever a server sent.
    label_->setToolTip(QStringLiteral("<p>%1</p>").arg(whole.toHtmlEscaped()));
    label_->setAccessibleDescription(whole);
  }
  if (!bar_) return;
  bar_->setVisible(bar != Bar::hidden);
  if (bar == Bar::busy) {
    bar_->setRange(0, 0);
    bar_->setAccessibleDescription(whole);
  } else if (bar == Bar::percent) {
    bar_->setRange(0, 100);
    bar_->setValue(percent);
    bar_->setFormat(format);
    bar_->setAccessibleDescription(
        format.isEmpty() ? whole
                         : QString(format).replace(QStringLiteral("%p"), QString::number(percent)));
  }
}

}  // namespace tove
