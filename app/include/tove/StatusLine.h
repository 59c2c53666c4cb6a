#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QString>
#include <QTime>

#include "sparkler/SparklerConfiguration.h"
#include "sparkler/SparklerError.h"
#include "sparkler/Version.h"

namespace tove {

/// The window's status line: a label that says where the updater is, and under it a bar for
/// a download or an installation. The label shows a failure's cause shortened to about
/// kShownCause characters, its start and its end; the whole text is its tooltip and
/// accessible description.
class StatusLine {
 public:
  static constexpr qsizetype kShownCause = 120;

  /// The widgets written to; either may be null (or be destroyed meanwhile).
  void setWidgets(QLabel* label, QProgressBar* bar);

  void checking();
  /// `asked`: the answer to the user's check, which says that no update is available.
  void upToDate(QTime checkedAt, bool asked = false);
  void downloading(std::uint64_t bytes, std::uint64_t expected);
  void ready(const std::optional<sparkler::Version>& version);
  /// An installation's phase (Attaching, Copying, Replacing or Detaching).
  void installing(const sparkler::SparklerProgress& progress);
  void installed(const std::optional<sparkler::Version>& version);
  /// A failed check, or with `installation` a failed installation; `manifestURL` names the
  /// server a lead phrase may name.
  void failed(const std::optional<sparkler::SparklerError>& error, std::string_view manifestURL,
              bool installation);
  /// A plain message with no bar.
  void message(const QString& text);

  /// The whole text last shown.
  const QString& text() const { return text_; }

  /// The short lead phrase for the code of `error` ("Could not reach updates.example.com").
  static QString lead(const sparkler::SparklerError& error, std::string_view manifestURL);
  /// What `error` says after the URL it names, if any ("timed out" of "cannot fetch the
  /// manifest https://…: timed out"), else all it says.
  static QString cause(const sparkler::SparklerError& error);
  /// `bytes` for people: "512 bytes", "3.1 kB", "12.0 MB".
  static QString size(std::uint64_t bytes);

 private:
  enum class Bar { hidden, busy, percent };
  void show(const QString& shown, const QString& whole, Bar bar, int percent = 0,
            const QString& format = {});

  QPointer<QLabel> label_;
  QPointer<QProgressBar> bar_;
  QString text_;
};

}  // namespace tove
